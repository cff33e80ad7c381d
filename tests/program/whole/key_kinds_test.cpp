// Renewals of each kind of key that holders have, through the real program:
// the new key pair on the token, the request the centre received and the
// certificate it issued all keep the current key's algorithm and parameter
// set, as OpenSSL reads them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "kestrava_fixture.h"
#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

namespace {

struct KeyKindRow {
    const char *name;
    const char *kind, *paramset;  // softtoken keygen --kind, --paramset
    const char *algorithm;        // OpenSSL's "Public Key Algorithm" and "Parameter set" lines
    const char *paramSet;
    const char *signature;        // OpenSSL's "Signature Algorithm" of the request
    const char *paramSetHex;      // CKA_GOSTR3410_PARAMS of the new key
    const char *digestHex;        // CKA_GOSTR3411_PARAMS of the new key
    const char *generated;        // the key pair generation as the journal shows it
    bool innle;                   // the organisation's INN stands only as INNLE
};

// The lines of OpenSSL's text form of a DER certificate or request that
// start (after their indentation) with one of the prefixes.
std::vector<std::string> OpensslLines(const std::string &what, const std::string &der,
                                      const std::vector<std::string> &prefixes, const std::string &extra = "")
{
    std::string output;
    RunUnix("openssl " + what + " -engine gost -inform DER -in " + ShellQuote(der) + " -noout -text " + extra +
                " 2>&1",
            &output);
    std::vector<std::string> found;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        line.erase(0, line.find_first_not_of(' '));
        for (const std::string &prefix : prefixes)
            if (line.compare(0, prefix.size(), prefix) == 0)
                found.push_back(line);
    }
    return found;
}

std::string PublicKeyPem(const std::string &what, const std::string &der)
{
    std::string pem;
    RunUnix("openssl " + what + " -engine gost -inform DER -in " + ShellQuote(der) + " -noout -pubkey 2>/dev/null",
            &pem);
    return pem;
}

class RenewalOfEachKind : public KestravaFixture, public ::testing::WithParamInterface<KeyKindRow> {};

TEST_P(RenewalOfEachKind, KeepsTheKeyKindInTheRequestAndTheNewCertificate)
{
    const KeyKindRow &row = GetParam();
    holderKey = {"--kind", row.kind, "--paramset", row.paramset};
    holderInnle = row.innle;
    if (row.innle)
        holderInn = "7712345678";
    std::string serial = MakeHolderToken(0, "A1", Utc(MonthsFromNow(1, 15, 12)));
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " pay " + ShellQuote(caDir) + " " + serial);
    StartServer();

    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));
    EXPECT_EQ(Widen(holderInn), Details(dialog)[3]) << "the INN field";
    HWND pin = RenewAndConfirm(dialog);
    ASSERT_TRUE(pin);
    SetControlText(pin, IDC_PIN, Widen(holderPin).c_str());
    ClickButton(pin, IDOK);
    HWND done = WaitForBox(L"Новый сертификат", 60000);
    ASSERT_TRUE(done) << "no success box";
    EXPECT_EQ(L"Сертификат был успешно обновлен.", MessageBoxText(done));
    ClickButton(done, IDOK);

    // The token's new key pair and certificate, one identifier.
    std::string text;
    ASSERT_TRUE(ReadFileBytes(store.dir + "/slot-0.json", text));
    nlohmann::json slot = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(slot.is_discarded());
    std::string newCertificate = work + "/new.der";
    int keys = 0;
    for (const nlohmann::json &object : slot["objects"]) {
        const nlohmann::json &attributes = object["attributes"];
        std::string cls = attributes.value("CKA_CLASS", "");
        EXPECT_NE("4131", attributes.value("CKA_ID", "")) << "an object of the old identifier stayed";
        if (cls.compare(0, 2, "01") == 0) {
            ASSERT_TRUE(WriteFileBytes(newCertificate, FromHexText(attributes.value("CKA_VALUE", ""))));
        } else {
            ++keys;
            EXPECT_EQ(row.paramSetHex, attributes.value("CKA_GOSTR3410_PARAMS", "")) << cls;
            EXPECT_EQ(row.digestHex, attributes.value("CKA_GOSTR3411_PARAMS", "")) << cls;
        }
    }
    EXPECT_EQ(2, keys);
    std::vector<std::string> generations = JournalCalls(store.journal, "C_GenerateKeyPair");
    ASSERT_EQ(1u, generations.size());
    EXPECT_NE(std::string::npos, generations[0].find(row.generated)) << generations[0];

    // The new certificate's key is of the old one's algorithm and set.
    std::vector<std::string> keyLines = {"Public Key Algorithm:", "Parameter set:"};
    std::vector<std::string> oldKey = OpensslLines("x509", work + "/certificate-A1.der", keyLines);
    EXPECT_EQ((std::vector<std::string>{std::string("Public Key Algorithm: ") + row.algorithm,
                                        std::string("Parameter set: ") + row.paramSet}),
              oldKey);
    EXPECT_EQ(oldKey, OpensslLines("x509", newCertificate, keyLines));

    // The request the centre received verifies with that new key and the
    // signature algorithm of its kind.
    std::string ledger;
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " ledger " + ShellQuote(caDir) + " " + serial, &ledger);
    std::string issued = ledger.substr(ledger.find("used ") + 5);
    issued.erase(issued.find_last_not_of("\r\n ") + 1);
    std::string request = caDir + "/requests/" + issued + ".der";
    EXPECT_EQ((std::vector<std::string>{"Certificate request self-signature verify OK",
                                        std::string("Signature Algorithm: ") + row.signature}),
              OpensslLines("req", request, {"Certificate request self-signature", "Signature Algorithm:"}, "-verify"));
    std::string requestKey = PublicKeyPem("req", request);
    EXPECT_NE(std::string::npos, requestKey.find("BEGIN PUBLIC KEY"));
    EXPECT_EQ(requestKey, PublicKeyPem("x509", newCertificate));

    // The organisation's INN stays in the new subject, as INNLE when it was.
    std::vector<std::string> subject = OpensslLines("x509", newCertificate, {"Subject:"});
    ASSERT_EQ(1u, subject.size());
    EXPECT_NE(std::string::npos, subject[0].find(row.innle ? "1.2.643.100.4 = 7712345678" : "INN = 007712345678"))
        << subject[0];
}

const char cryptoProA[] = "06072a850302022301";
const char signature2001[] = "GOST R 34.11-94 with GOST R 34.10-2001";
const char signature256[] = "GOST R 34.10-2012 with GOST R 34.11-2012 (256 bit)";
const char signature512[] = "GOST R 34.10-2012 with GOST R 34.11-2012 (512 bit)";

// The design's templates for a 2001 key, four attributes each; a 2012 key
// adds its digest after the key's parameters.
const char generated2001[] =
    " mechanism=0x1200 "
    "public-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_ID "
    "private-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_ID ";
const char generated256[] =
    " mechanism=0x1200 "
    "public-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_GOSTR3411_PARAMS,CKA_ID "
    "private-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_GOSTR3411_PARAMS,CKA_ID ";
const char generated512[] =
    " mechanism=0xd4321005 "
    "public-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_GOSTR3411_PARAMS,CKA_ID "
    "private-template=CKA_TOKEN,CKA_LABEL,CKA_GOSTR3410_PARAMS,CKA_GOSTR3411_PARAMS,CKA_ID ";

INSTANTIATE_TEST_SUITE_P(
    Kestrava, RenewalOfEachKind,
    ::testing::Values(
        KeyKindRow{"Gost2001", "2001", "A", "GOST R 34.10-2001", "id-GostR3410-2001-CryptoPro-A-ParamSet",
                   signature2001, cryptoProA, "06072a850302021e01", generated2001, false},
        KeyKindRow{"Gost2012_256_CryptoProA", "2012-256", "A", "GOST R 34.10-2012 with 256 bit modulus",
                   "id-GostR3410-2001-CryptoPro-A-ParamSet", signature256, cryptoProA, "06082a85030701010202", generated256,
                   false},
        KeyKindRow{"Gost2012_256_Tc26A_Innle", "2012-256", "TCA", "GOST R 34.10-2012 with 256 bit modulus",
                   "GOST R 34.10-2012 (256 bit) ParamSet A", signature256, "06092a8503070102010101",
                   "06082a85030701010202", generated256, true},
        KeyKindRow{"Gost2012_512_Tc26A", "2012-512", "A", "GOST R 34.10-2012 with 512 bit modulus",
                   "GOST R 34.10-2012 (512 bit) ParamSet A", signature512, "06092a8503070102010201",
                   "06082a85030701010203", generated512, false}),
    [](const ::testing::TestParamInfo<KeyKindRow> &info) { return std::string(info.param.name); });

}  // namespace
