// Whether a new certificate was signed by the holder's centre, over
// certificates the test centre makes: a centre of each kind and parameter
// set, the same centre after it changed its key, and another centre of the
// same name.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "cert/centre_chain.h"
#include "cert/centre_signature.h"
#include "support/unix_command.h"
#include "test_certificates.h"

namespace {

// The DER certificates of one centre's story, by name: "ca" (its first
// certificate), "current" and "fresh" (two it signed), "stranger" (signed by
// another centre of the same name), "new ca" and "after" (its certificate
// after a rekey, and one signed with the new key); "fresh tbs" and "fresh
// sig" are "fresh" with one bit flipped in the to-be-signed part or in the
// signature.
using Certificates = std::map<std::string, std::string>;

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
                             testca + " rekey ca && cp ca/ca.der new-ca.der" + mint("ca", "after", "fresh"),
                         &output);
    EXPECT_EQ(status, 0) << output;
    Certificates certificates;
    for (const char *name : {"ca", "current", "fresh", "stranger", "after"})
        ReadFileBytes(dir + "/" + name + ".der", certificates[name]);
    ReadFileBytes(dir + "/new-ca.der", certificates["new ca"]);
    std::string &tbs = certificates["fresh tbs"] = certificates["fresh"];
    std::string &signature = certificates["fresh sig"] = certificates["fresh"];
    size_t name = tbs.rfind("fresh");
    EXPECT_NE(name, std::string::npos);
    tbs[name] ^= 0x01;
    signature.back() ^= 0x01;
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

TEST(CentreSignature, EachKindAndParameterSet)
{
    const struct {
        const char *why, *certificate;
        std::vector<std::string> signedBy, token;
        bool trusted;
    } rows[] = {
        {"under its issuer certificate", "fresh", {}, {"ca"}, true},
        {"under the key another certificate's signature gives", "fresh", {"current"}, {}, true},
        {"one bit flipped in the to-be-signed part", "fresh tbs", {"current"}, {"ca"}, false},
        {"one bit flipped in the signature", "fresh sig", {"current"}, {"ca"}, false},
        {"another centre of the same name", "stranger", {"current", "fresh"}, {"ca"}, false},
        {"the centre's new key, only its old one known", "after", {"current", "fresh"}, {"ca"}, false},
        {"the centre's new key, its new certificate given", "after", {"current"}, {"new ca"}, true},
        {"nothing to check against", "fresh", {}, {}, false},
        {"a certificate cannot vouch for itself", "fresh", {"fresh"}, {}, false},
    };
    const struct {
        const char *kind, *paramset;
    } centres[] = {{"2001", "A"}, {"2012-256", "A"}, {"2012-512", "A"},  {"2012-256", "B"},
                   {"2012-256", "C"}, {"2012-256", "TCA"}, {"2012-512", "B"}, {"2012-512", "C"}};
    for (const auto &centre : centres) {
        SCOPED_TRACE(std::string(centre.kind) + " " + centre.paramset);
        Certificates certificates = MakeCentre(centre.kind, centre.paramset);
        for (const auto &row : rows)
            EXPECT_EQ(Trusted(certificates, row.certificate, row.signedBy, row.token), row.trusted) << row.why;
    }
}

// The centre's new certificate installed in the current user's "CA" store.
// Wine writes a store to the registry when it is closed, and deletes only
// through the registry store itself, not through the system store's collection.
bool ChangeUsersStore(const std::string &certificate, bool add)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"CA");
    PCCERT_CONTEXT given = ContextOf(certificate), found = nullptr;
    bool done = false;
    if (store && given && add)
        done = CertAddCertificateContextToStore(store, given, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (store && given && !add) {
        // Every rekey gives the centre's certificate the same issuer and
        // serial: the one to take out is found by its hash.
        BYTE hash[20];
        DWORD hashSize = sizeof hash;
        CRYPT_HASH_BLOB hashBlob = {hashSize, hash};
        if (CertGetCertificateContextProperty(given, CERT_SHA1_HASH_PROP_ID, hash, &hashSize))
            found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &hashBlob, nullptr);
        done = found && CertDeleteCertificateFromStore(found);
    }
    if (given)
        CertFreeCertificateContext(given);
    if (store)
        CertCloseStore(store, 0);
    return done;
}

TEST(CentreSignature, IssuerInstalledInTheUsersStore)
{
    Certificates certificates = MakeCentre("2012-256", "A");
    EXPECT_FALSE(Trusted(certificates, "after", {"current"}, {}));
    ASSERT_TRUE(ChangeUsersStore(certificates["new ca"], true));
    bool trusted = Trusted(certificates, "after", {"current"}, {});
    bool strangerTrusted = Trusted(certificates, "stranger", {"current"}, {});
    ASSERT_TRUE(ChangeUsersStore(certificates["new ca"], false));
    EXPECT_TRUE(trusted);
    EXPECT_FALSE(strangerTrusted);
    EXPECT_FALSE(Trusted(certificates, "after", {"current"}, {}));
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
    EXPECT_TRUE(Trusted(certificates, "holder", {}, {"ca"}));
    EXPECT_FALSE(Trusted(certificates, "holder", {"holder"}, {"other"}));
}

}  // namespace
