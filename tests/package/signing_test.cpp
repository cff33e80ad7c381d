// Signing the package: with a certificate, scripts/make_msi signs
// kestrava.exe before packaging it and then the package, and osslsigncode
// accepts both signatures; without one the package is unsigned and the
// script says so. Signed or not, the program inside is stripped and its
// debug information lies beside the package.
#include <gtest/gtest.h>

#include "support/unix_command.h"

#include <string>

namespace {

TEST(PackageSigning, SignsTheProgramInsideAndThePackageWithTheGivenCertificate)
{
    std::string work = FreshWorkDir("package-signing");
    std::string q = ShellQuote(work);
    std::string output;
    // A throw-away code-signing certificate; it chains to nothing, so it is
    // its own trust anchor for the check.
    ASSERT_EQ(0, RunUnix("cd " + q + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
                         " -days 2 -subj '/CN=Kestrava test signer' -addext extendedKeyUsage=codeSigning"
                         " && openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout pass:Пароль-1",
                         &output))
        << output;

    std::string makeMsi = ShellQuote(TestEnv("KESTRAVA_SOURCE") + "/scripts/make_msi");
    std::string exe = ShellQuote(TestEnv("KESTRAVA_BIN") + "/kestrava.exe");
    std::string version = KESTRAVA_VERSION;
    std::string make = makeMsi + " " + exe + " " + version;
    // The signed package goes over an unsigned one made before, as when
    // scripts/package runs again with --sign.
    ASSERT_EQ(0, RunUnix("cd " + q + " && " + make + " signed.msi && KESTRAVA_SIGN_PASSWORD='Пароль-1' " + makeMsi + " --sign signer.pfx " + exe + " " +
                                 version + " signed.msi && " + make + " unsigned.msi",
                         &output, 180))
        << output;
    EXPECT_NE(std::string::npos, output.find("unsigned.msi, not signed")) << output;
    ASSERT_EQ(0, RunUnix("cd " + q + " && msiextract -C signed signed.msi && msiextract -C unsigned unsigned.msi", &output))
        << output;

    struct Check {
        const char *file;
        bool signedBySigner;
    } const checks[] = {
            {"signed.msi", true},
            {"signed/Program Files/Kestrava/kestrava.exe", true},
            {"unsigned.msi", false},
            {"unsigned/Program Files/Kestrava/kestrava.exe", false},
    };
    for (const Check &check : checks) {
        int status = RunUnix("cd " + q + " && osslsigncode verify -CAfile cert.pem -in " + ShellQuote(check.file), &output);
        EXPECT_EQ(check.signedBySigner, status == 0) << check.file << "\n" << output;
    }

    // Both packages hold the program stripped, with its debug information
    // beside each package: a crash address in the program (here where
    // InitMainWindow starts in the build's own file) is read back to its
    // source line through the program's debug link.
    std::string address;
    ASSERT_EQ(0, RunUnix("i686-w64-mingw32-nm " + exe + " | sed -n 's/ T __Z14InitMainWindow.*//p'", &address))
        << address;
    ASSERT_FALSE(address.empty());
    address = "0x" + address.substr(0, address.find_first_of("\r\n"));
    for (const std::string package : {"signed", "unsigned"}) {
        std::string program = ShellQuote(package + "/Program Files/Kestrava/kestrava.exe");
        std::string sections, line;
        ASSERT_EQ(0, RunUnix("cd " + q + " && i686-w64-mingw32-objdump -h " + program, &sections)) << sections;
        EXPECT_EQ(std::string::npos, sections.find(".debug_")) << package << " holds debug information";
        EXPECT_NE(std::string::npos, sections.find(".gnu_debuglink")) << package;
        ASSERT_EQ(0, RunUnix("cd " + q + " && cp " + program + " " + package + ".exe && i686-w64-mingw32-addr2line -e " +
                                     package + ".exe " + address,
                             &line))
            << line;
        EXPECT_NE(std::string::npos, line.find("app/main_window.cpp:")) << package << ": " << line;
    }

    // The build's own kestrava.exe is left unsigned.
    EXPECT_NE(0, RunUnix("osslsigncode verify -CAfile " + q + "/cert.pem -in " + exe, &output));
}

TEST(PackageSigning, RefusesToSignWithoutThePassword)
{
    std::string work = FreshWorkDir("package-signing-no-password");
    std::string output;
    ASSERT_EQ(0, RunUnix("cd " + ShellQuote(work) + " && touch signer.pfx && env -u KESTRAVA_SIGN_PASSWORD " +
                                 ShellQuote(TestEnv("KESTRAVA_SOURCE") + "/scripts/make_msi") +
                                 " --sign signer.pfx " + ShellQuote(TestEnv("KESTRAVA_BIN") + "/kestrava.exe") + " " +
                                 KESTRAVA_VERSION + " out.msi; echo status=$?; test ! -e out.msi",
                         &output))
        << output;
    EXPECT_NE(std::string::npos, output.find("KESTRAVA_SIGN_PASSWORD must hold the password")) << output;
    EXPECT_NE(std::string::npos, output.find("status=1")) << output;
}

}  // namespace
