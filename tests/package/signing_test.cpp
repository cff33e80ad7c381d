// Signing the package: with a certificate, scripts/make_msi signs
// kestrava.exe before packaging it and then the package, and osslsigncode
// accepts both signatures; without one the package is unsigned and the
// script says so.
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
