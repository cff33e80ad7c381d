// Whether a new certificate was signed by the holder's centre, over
// certificates the test centre makes: a centre of each kind and parameter
// set, the same centre after it changed its key, and another centre of the
// same name.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "cert/centre_chain.h"
#include "cert/centre_signature.h"
#include "support/unix_command.h"
#include "support/user_store.h"
#include "test_certificates.h"

namespace {

// The DER certificates of one centre's story, by name: "ca" (its first
// certificate), "current" and "fresh" (two it signed), "stranger" (signed by
// another centre of the same name), "new ca" and "after" (its certificate
// after a rekey, and one signed with the new key); "fresh tbs" and "fresh
// sig" are "fresh" with one bit flipped in the to-be-signed part or in the
// signature; "fresh outer" is "fresh" whose signature algorithm outside the
// signed part names another algorithm than the one inside.
using Certificates = std::map<std::string, std::string>;

// The length of the DER element at pos, and where its contents start; false
// past the end.
bool DerElement(const std::string &der, size_t pos, size_t &contents, size_t &length)
{
    if (pos + 2 > der.size())
        return false;
    size_t first = (unsigned char)der[pos + 1];
    contents = pos + 2;
    length = first;
    if (first & 0x80) {
        length = 0;
        for (size_t i = 0; i < (first & 0x7F); i++)
            length = length << 8 | (unsigned char)der[contents++];
    }
    return contents + length <= der.size();
}

// Where the OID of a certificate's outer signature algorithm ends (after the
// to-be-signed part); 0 when the bytes do not parse.
size_t OuterAlgorithmOidEnd(const std::string &der)
{
    size_t certificate, certificateLength, tbs, tbsLength, algorithm, algorithmLength, oid, oidLength;
    if (!DerElement(der, 0, certificate, certificateLength) || !DerElement(der, certificate, tbs, tbsLength) ||
        !DerElement(der, tbs + tbsLength, algorithm, algorithmLength) || !DerElement(der, algorithm, oid, oidLength))
        return 0;
    return oid + oidLength;
}

Certificates MakeCentre(const std::string &kind, const std::string &paramset)
{
    std::string dir = FreshWorkDir("centre_signature-" + kind + "-" + paramset);
    std::string testca = ShellQuote(TestEnv("KESTRAVA_TESTCA"));
    auto mint = [&](const std::string &ca, const std::string &out, const std::string &name) {
        return " && " + testca + " mint " + ca + " --out " + out + ".der --key-out key.pem --rdn CN=" + name;
    };
    std::string centre = " --kind " + kind + " --paramset " + paramset, output;
    int status = RunUnix("cd " + ShellQuote(dir) + " && " + testca + " init ca" + centre +
                             mint("ca", "current", "current") + mint("ca", "fresh", "fresh") + " && " + testca +
                             " init other" + centre + mint("other", "stranger", "fresh") + " && cp ca/ca.der ca.der && " +
                             testca + " rekey ca && cp ca/ca.der new-ca.der && cp ca/head/ca.der head.der" +
                             mint("ca", "after", "fresh"),
                         &output);
    EXPECT_EQ(status, 0) << output;
    Certificates certificates;
    for (const char *name : {"ca", "current", "fresh", "stranger", "after", "head"})
        ReadFileBytes(dir + "/" + name + ".der", certificates[name]);
    ReadFileBytes(dir + "/new-ca.der", certificates["new ca"]);
    std::string &tbs = certificates["fresh tbs"] = certificates["fresh"];
    std::string &signature = certificates["fresh sig"] = certificates["fresh"];
    size_t name = tbs.rfind("fresh");
    EXPECT_NE(name, std::string::npos);
    tbs[name] ^= 0x01;
    signature.back() ^= 0x01;
    std::string &outer = certificates["fresh outer"] = certificates["fresh"];
    size_t oidEnd = OuterAlgorithmOidEnd(outer);
    EXPECT_NE(oidEnd, 0u);
    outer[oidEnd - 1] ^= 0x01;
    return certificates;
}

struct Contexts {
    std::vector<PCCERT_CONTEXT> list;
    Contexts(const Certificates &certificates, const std::vector<std::string> &names)
    {
        for (const std::string &name : names) {
            list.push_back(ContextOf(certificates.at(name)));
            EXPECT_TRUE(list.back()) << name << " is not a certificate";
        }
    }
    ~Contexts()
    {
        for (PCCERT_CONTEXT context : list)
            CertFreeCertificateContext(context);
    }
};

bool Trusted(const Certificates &certificates, const std::string &name, const std::vector<std::string> &signedBy,
             const std::vector<std::string> &token)
{
    Contexts fresh(certificates, {name}), known(certificates, signedBy), issuers(certificates, token);
    return CentreSignedCertificate(fresh.list[0], known.list.data(), known.list.size(), issuers.list.data(),
                                   issuers.list.size());
}

// The signature arithmetic alone: whether name verifies under issuer's key.
bool UnderKeyOf(const Certificates &certificates, const std::string &name, const std::string &issuer)
{
    Contexts both(certificates, {name, issuer});
    return SignedUnderKeyOf(both.list[0], both.list[1]);
}

TEST(CentreSignature, EachKindAndParameterSet)
{
    const struct {
        const char *why, *certificate;
        std::vector<std::string> signedBy, token;
        bool trusted;
    } rows[] = {
        {"under its issuer certificate", "fresh", {"stranger"}, {"ca"}, true},
        {"under the key another certificate's signature gives", "fresh", {"current"}, {}, true},
        {"one bit flipped in the to-be-signed part", "fresh tbs", {"current"}, {"ca"}, false},
        {"one bit flipped in the signature", "fresh sig", {"current"}, {"ca"}, false},
        {"the outer algorithm not the signed one", "fresh outer", {"current"}, {"ca"}, false},
        {"another centre of the same name", "stranger", {"current", "fresh"}, {"ca"}, false},
        {"the centre's new key, only its old one known", "after", {"current", "fresh"}, {"ca"}, false},
        {"the centre's new key, its new certificate given", "after", {"current"}, {"new ca"}, true},
        {"nothing to check against", "fresh", {}, {}, false},
        {"a certificate cannot vouch for itself", "fresh", {"fresh"}, {}, false},
    };
    const struct {
        const char *kind, *paramset;
    } centres[] = {{"2001", "A"}, {"2012-256", "A"}, {"2012-512", "A"},  {"2012-256", "B"},
                   {"2012-256", "C"}, {"2012-256", "TCA"}, {"2012-512", "B"}, {"2012-512", "C"},
                   {"2012-256", "XA"}, {"2012-256", "XB"}, {"2012-256", "TCB"}, {"2012-256", "TCC"},
                   {"2012-256", "TCD"}};
    for (const auto &centre : centres) {
        SCOPED_TRACE(std::string(centre.kind) + " " + centre.paramset);
        Certificates certificates = MakeCentre(centre.kind, centre.paramset);
        UserStoreCertificate head(L"Root", certificates["head"]);
        for (const auto &row : rows)
            EXPECT_EQ(Trusted(certificates, row.certificate, row.signedBy, row.token), row.trusted) << row.why;
    }
}

// The centre's new certificate installed in the current user's "CA" store,
// then taken out again: each check sees the store as it is then.
TEST(CentreSignature, IssuerInstalledInTheUsersStore)
{
    Certificates certificates = MakeCentre("2012-256", "A");
    UserStoreCertificate head(L"Root", certificates["head"]);
    EXPECT_FALSE(Trusted(certificates, "after", {"current"}, {}));
    {
        UserStoreCertificate installed(L"CA", certificates["new ca"]);
        ASSERT_TRUE(installed.installed());
        EXPECT_TRUE(Trusted(certificates, "after", {"current"}, {}));
        EXPECT_FALSE(Trusted(certificates, "stranger", {"current"}, {}));
    }
    EXPECT_FALSE(Trusted(certificates, "after", {"current"}, {}));
}

std::string SourcePath(const std::string &relative)
{
    return TestEnv("KESTRAVA_SOURCE") + "/" + relative;
}

Certificates ReadFolder(const std::string &folder, const std::vector<std::string> &names)
{
    Certificates certificates;
    for (const std::string &name : names)
        EXPECT_TRUE(ReadFileBytes(SourcePath(folder + "/" + name + ".der"), certificates[name])) << folder << name;
    return certificates;
}

// Centres whose signatures once made are kept with the tests: the same
// square roots and lifts are taken at every run. Each witness alone gives
// the centre's key; each kind of lift and sign is needed by some witness.
TEST(CentreSignature, FixedCentresEachWitness)
{
    std::vector<std::string> witnesses;
    for (int i = 1; i <= 8; i++)
        witnesses.push_back("witness-" + std::to_string(i));
    for (const char *centre : {"cryptopro-b", "tc26-256-a"}) {
        SCOPED_TRACE(centre);
        std::vector<std::string> names = witnesses;
        names.insert(names.end(), {"ca", "fresh", "stranger"});
        Certificates certificates = ReadFolder(std::string("tests/unit/cert/fixed-centres/") + centre, names);
        for (const std::string &witness : witnesses) {
            EXPECT_TRUE(Trusted(certificates, "fresh", {witness}, {})) << witness;
            EXPECT_FALSE(Trusted(certificates, "stranger", {witness}, {})) << witness;
        }
        EXPECT_TRUE(UnderKeyOf(certificates, "fresh", "ca"));
        EXPECT_FALSE(Trusted(certificates, "stranger", witnesses, {"ca"}));
    }
}

// Paths up to the test head this program carries, or to a head ("lone") only
// "Root" makes an anchor (centre-paths/make.sh): a refused row differs from
// an accepted one by one fault. The current certificates' keys signed none.
TEST(CentreSignature, PathsToAnAnchor)
{
    const struct {
        const char *why, *answer;
        std::vector<std::string> signedBy, token;
        std::vector<std::pair<const wchar_t *, std::string>> stores;
        bool trusted;
    } rows[] = {
        {"a real chain to a carried head", "answer", {"current"}, {"centre", "issuing"}, {}, true},
        {"the same in the user's CA store", "answer", {"current"}, {}, {{L"CA", "centre"}, {L"CA", "issuing"}}, true},
        {"a pathlen:0 centre that certified a centre", "answer-x", {"current"}, {"x", "z"}, {}, false},
        {"an expired link", "answer", {"current"}, {"centre", "expired"}, {}, false},
        {"a link without keyCertSign", "answer", {"current"}, {"centre", "no-cert-sign"}, {}, false},
        {"a CA:FALSE link in CA", "answer", {"current"}, {"centre"}, {{L"CA", "not-a-centre"}}, false},
        {"another centre in CA under its own name", "answer-other", {"current"}, {}, {{L"CA", "other"}}, false},
        {"the holder's centre in CA, no anchor", "answer-lone", {"current"}, {}, {{L"CA", "lone-centre"}}, false},
        {"the holder's centre on the token, no anchor", "answer-lone", {"current"}, {"lone-centre"}, {}, false},
        {"its head in Root", "answer-lone", {"current"}, {}, {{L"CA", "lone-centre"}, {L"Root", "lone-head"}}, true},
        {"its head in My", "answer-lone", {"current"}, {}, {{L"CA", "lone-centre"}, {L"My", "lone-head"}}, false},
        {"a look-alike of its head in Root", "answer-lone", {"current"}, {},
         {{L"CA", "lone-centre"}, {L"Root", "look-alike"}}, false},
        {"its head's key and name, CA:FALSE, in Root", "answer-lone", {"current"}, {},
         {{L"CA", "lone-centre"}, {L"Root", "lone-not-a-centre"}}, false},
        {"the centre itself in Root", "answer-lone", {"current"}, {}, {{L"Root", "lone-centre"}}, true},
        {"a carried head's copy on the token as the issuer", "by-head", {"current-by-head"}, {"head"}, {}, true},
        {"three centres above the issuer", "answer", {"current"}, {"near", "l2", "l3"}, {}, true},
        {"four centres above the issuer", "answer", {"current"}, {"far", "l1", "l2", "l3"}, {}, false},
        {"a self-signed centre in Root as its own issuer", "self", {"current"}, {}, {{L"Root", "self"}}, false},
    };
    Certificates certificates = ReadFolder(
        "tests/unit/cert/centre-paths",
        {"answer", "current", "centre", "issuing", "answer-x", "x", "z", "expired", "no-cert-sign", "not-a-centre", "l1",
         "l2", "l3", "answer-other", "other", "answer-lone", "lone-centre", "lone-head", "look-alike", "lone-not-a-centre",
         "by-head", "current-by-head", "head", "near", "far", "self"});
    for (const auto &row : rows) {
        std::vector<std::unique_ptr<UserStoreCertificate>> installed;
        for (const auto &stored : row.stores) {
            installed.emplace_back(new UserStoreCertificate(stored.first, certificates.at(stored.second)));
            ASSERT_TRUE(installed.back()->installed()) << row.why;
        }
        EXPECT_EQ(Trusted(certificates, row.answer, row.signedBy, row.token), row.trusted) << row.why;
    }
}

BOOL CALLBACK AddResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found)
{
    HRSRC resource = FindResourceW(module, name, type);
    const char *bytes = (const char *)LockResource(LoadResource(module, resource));
    ((std::vector<std::string> *)found)->emplace_back(bytes, SizeofResource(module, resource));
    return TRUE;
}

// The heads the program carries are what their files hold, each a
// self-signed CA certificate; and real centre certificates verify under the
// heads their key identifiers name, a link from one head to the next
// included, and under no other.
TEST(CentreSignature, HeadCentres)
{
    std::vector<std::string> carried;
    EnumResourceNamesW(nullptr, RT_RCDATA, AddResource, (LONG_PTR)&carried);
    std::string listing;
    ASSERT_EQ(RunUnix("ls " + ShellQuote(SourcePath("res/head-centres")), &listing), 0);
    // The program's, and the test head this test program carries.
    EXPECT_EQ(carried.size(), (size_t)std::count(listing.begin(), listing.end(), '\n') + 1);
    for (const std::string &head : carried) {
        PCCERT_CONTEXT context = ContextOf(head);
        ASSERT_TRUE(context);
        PCERT_EXTENSION extension = CertFindExtension(szOID_BASIC_CONSTRAINTS2, context->pCertInfo->cExtension,
                                                      context->pCertInfo->rgExtension);
        CERT_BASIC_CONSTRAINTS2_INFO constraints = {};
        DWORD size = sizeof constraints;
        EXPECT_TRUE(extension && CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2,
                                                     extension->Value.pbData, extension->Value.cbData, 0, nullptr,
                                                     &constraints, &size) &&
                    constraints.fCA);
        EXPECT_TRUE(SignedUnderKeyOf(context, context));
        EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &context->pCertInfo->Subject,
                                               &context->pCertInfo->Issuer));
        CertFreeCertificateContext(context);
    }

    Certificates certificates =
        ReadFolder("res/head-centres", {"head-2012-minkomsvyaz-2001", "head-2018-minkomsvyaz", "head-2021-minkomsvyaz",
                                        "head-2022-mintsifry", "head-2026-mintsifry"});
    Certificates samples = ReadFolder("tests/unit/cert/head-centre-samples",
                                      {"issuing-centre-2001-a", "issuing-centre-2001-b", "head-2022-by-head-2021"});
    certificates.insert(samples.begin(), samples.end());
    const struct {
        const char *certificate, *head;
        bool trusted;
    } rows[] = {
        {"issuing-centre-2001-a", "head-2012-minkomsvyaz-2001", true},
        {"issuing-centre-2001-b", "head-2012-minkomsvyaz-2001", true},
        {"head-2022-by-head-2021", "head-2021-minkomsvyaz", true},
        {"issuing-centre-2001-a", "head-2018-minkomsvyaz", false},
        {"head-2022-by-head-2021", "head-2022-mintsifry", false},
        {"head-2022-by-head-2021", "head-2018-minkomsvyaz", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(UnderKeyOf(certificates, row.certificate, row.head), row.trusted)
            << row.certificate << " under " << row.head;
}

// A signature of another algorithm is crypt32's to check.
TEST(CentreSignature, OtherAlgorithmsUnderTheirIssuer)
{
    std::string dir = FreshWorkDir("centre_signature-rsa"), output;
    auto centre = [](const std::string &name) {
        return " && openssl req -x509 -newkey rsa:2048 -nodes -keyout " + name + ".key -subj '/CN=RSA Centre'" +
               " -days 30 -outform DER -out " + name + ".der";
    };
    ASSERT_EQ(RunUnix("cd " + ShellQuote(dir) + centre("ca") + centre("other") +
                          " && openssl req -new -newkey rsa:2048 -nodes -keyout holder.key -subj /CN=holder"
                          " -out holder.csr && openssl x509 -req -in holder.csr -CA ca.der -CAform DER"
                          " -CAkey ca.key -set_serial 5 -days 30 -outform DER -out holder.der",
                      &output),
              0)
        << output;
    Certificates certificates;
    for (const char *name : {"ca", "other", "holder"})
        ReadFileBytes(dir + "/" + name + ".der", certificates[name]);
    EXPECT_TRUE(UnderKeyOf(certificates, "holder", "ca"));
    EXPECT_FALSE(Trusted(certificates, "holder", {"holder"}, {"other"}));
}

}  // namespace
