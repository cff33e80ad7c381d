// testca init, mint, pay and ledger as tests and the demo use them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <tuple>

#include <openssl/pem.h>

#include "ca_test_support.h"
#include "issue.h"
#include "names.h"

namespace {

struct Entry {
  std::string oid;
  int type;
  std::string value;
  int set;
  bool operator==(const Entry &o) const {
    return std::tie(oid, type, value, set) == std::tie(o.oid, o.type, o.value, o.set);
  }
};

std::ostream &operator<<(std::ostream &os, const Entry &e) {
  return os << "{" << e.oid << " type " << e.type << " '" << e.value << "' set " << e.set << "}";
}

std::vector<Entry> Entries(const X509_NAME *name) {
  std::vector<Entry> entries;
  for (int i = 0; i < X509_NAME_entry_count(name); i++) {
    const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
    char oid[128];
    OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(e), 1);
    const ASN1_STRING *data = X509_NAME_ENTRY_get_data(e);
    std::string value;
    ValueText(data, value);
    entries.push_back({oid, ASN1_STRING_type(data), value, X509_NAME_ENTRY_set(e)});
  }
  return entries;
}

time_t TimeOf(const ASN1_TIME *t) {
  struct tm tm;
  ASN1_TIME_to_tm(t, &tm);
  return timegm(&tm);
}

class TestcaCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    work = FreshDir(std::string("cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ca = work + "/ca";
    ASSERT_EQ(Shell(Quote(Testca()) + " init " + Quote(ca)), 0);
  }

  // Runs testca mint with the arguments (already quoted); the exit status.
  int Mint(const std::string &args, std::string *out = nullptr) {
    return Shell(Quote(Testca()) + " mint " + Quote(ca) + " --out " + Quote(work + "/cert.der") + " " + args, out);
  }

  std::string work, ca;
};

TEST_F(TestcaCommands, InitMakesAGostCaAndRefusesToOverwriteIt) {
  X509Ptr caCert = ReadCert(ca + "/ca.pem");
  X509Ptr caDer = ReadCert(ca + "/ca.der");
  ASSERT_TRUE(caCert && caDer);
  EXPECT_EQ(X509_cmp(caCert.get(), caDer.get()), 0);
  // Two levels, as real centres: the head certifies itself and the centre.
  X509Ptr head = ReadCert(ca + "/head/ca.der");
  ASSERT_TRUE(head);
  EXPECT_EQ(X509_verify(head.get(), X509_get0_pubkey(head.get())), 1);
  EXPECT_EQ(X509_check_ca(head.get()), 1);
  EXPECT_EQ(X509_verify(caCert.get(), X509_get0_pubkey(head.get())), 1);
  EXPECT_NE(X509_verify(caCert.get(), X509_get0_pubkey(caCert.get())), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(caCert.get()), X509_get_subject_name(head.get())), 0);
  EXPECT_EQ(CaIssuersUrl(caCert.get()), "http://127.0.0.1:2080" + PublishedPath(head.get()));
  EXPECT_EQ(CaIssuersUrl(head.get()), "");
  // Today's centres sign with 2012 keys.
  EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(caCert.get())), NID_id_GostR3410_2012_256);
  EXPECT_EQ(X509_check_ca(caCert.get()), 1);
  EXPECT_EQ(ReadText(ca + "/serial"), "1000\n");

  Bytes keyBefore, keyAfter;
  ReadFile(ca + "/ca.key", keyBefore);
  std::string out;
  EXPECT_EQ(Shell(Quote(Testca()) + " init " + Quote(ca), &out), 1);
  EXPECT_NE(out.find("already holds a CA"), std::string::npos) << out;
  ReadFile(ca + "/ca.key", keyAfter);
  EXPECT_EQ(keyBefore, keyAfter);
}

// A centre of each kind signs its own certificate and those it mints with
// the digest of its kind; a minted key is of the kind and set asked for,
// described as the GOST engine describes its own keys of that set.
TEST_F(TestcaCommands, CentresAndMintedKeysOfEachKind) {
  struct Case {
    const char *kind;
    int keyNid, signatureNid;
    const char *paramset, *engineAlgorithm;
  } cases[] = {
      {"2001", NID_id_GostR3410_2001, NID_id_GostR3411_94_with_GostR3410_2001, "B", "gost2001"},
      {"2012-256", NID_id_GostR3410_2012_256, NID_id_tc26_signwithdigest_gost3410_2012_256, "TCD", "gost2012_256"},
      {"2012-512", NID_id_GostR3410_2012_512, NID_id_tc26_signwithdigest_gost3410_2012_512, "C", "gost2012_512"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.kind);
    std::string dir = work + "/" + c.kind;
    ASSERT_EQ(Shell(Quote(Testca()) + " init " + Quote(dir) + " --kind " + c.kind + " --paramset " + c.paramset), 0);
    X509Ptr caCert = ReadCert(dir + "/ca.pem"), head = ReadCert(dir + "/head/ca.pem");
    ASSERT_TRUE(caCert && head);
    EXPECT_EQ(X509_verify(caCert.get(), X509_get0_pubkey(head.get())), 1);
    EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(caCert.get())), c.keyNid);
    EXPECT_EQ(X509_get_signature_nid(caCert.get()), c.signatureNid);

    // The key minted on the set asked for, and the engine's own key on it.
    std::string key = dir + "/key.pem", own = dir + "/own.pem";
    ASSERT_EQ(Shell(Quote(Testca()) + " mint " + Quote(dir) + " --out " + Quote(dir + "/cert.der") + " --key-out " +
                    Quote(key) + " --kind " + c.kind + " --paramset " + c.paramset + " && openssl genpkey -engine " +
                    "gost -algorithm " + c.engineAlgorithm + " -pkeyopt paramset:" + c.paramset + " -out " + Quote(own)),
              0);
    X509Ptr cert = ReadCert(dir + "/cert.der");
    BioPtr keyIn(BIO_new_file(key.c_str(), "r")), ownIn(BIO_new_file(own.c_str(), "r"));
    PkeyPtr minted(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
    PkeyPtr engines(PEM_read_bio_PrivateKey(ownIn.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(cert && minted && engines);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(caCert.get())), 1);
    EXPECT_EQ(X509_get_signature_nid(cert.get()), c.signatureNid);
    EXPECT_EQ(X509_check_private_key(cert.get(), minted.get()), 1);
    EXPECT_EQ(EVP_PKEY_parameters_eq(minted.get(), engines.get()), 1);
    EXPECT_EQ(EVP_PKEY_parameters_eq(X509_get0_pubkey(caCert.get()), engines.get()), 1);
  }

  // Sets the kind's size lacks, kinds it does not know, a kind without a key.
  EXPECT_EQ(Mint("--key-out " + Quote(work + "/k.pem") + " --kind 2012-512 --paramset TCA"), 1);
  EXPECT_EQ(Mint("--key-out " + Quote(work + "/k.pem") + " --kind 2012"), 2);
  EXPECT_EQ(Mint("--csr " + Quote(work + "/k.pem") + " --kind 2001"), 2);
  EXPECT_EQ(Shell(Quote(Testca()) + " init " + Quote(work + "/bad") + " --kind 2012"), 2);
  EXPECT_EQ(Shell(Quote(Testca()) + " init " + Quote(work + "/bad") + " --kind 2012-512 --paramset TCA"), 1);
  EXPECT_EQ(access((work + "/bad/ca.key").c_str(), F_OK), -1);
}

TEST_F(TestcaCommands, MintWritesTheSubjectExactlyAsGiven) {
  std::string out;
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --rdn C=RU" +
                     " --rdn " + Quote(u8"O=ООО \"Ромашка, и К\"") +
                     " --rdn " + Quote(u8"SN=Иванов+GN=Иван Иванович") +
                     " --rdn " + Quote("CN=a\\+b\\\\c, d=e") +
                     " --rdn " + Quote("INN=NUMERIC:007712345678") +
                     " --rdn " + Quote("1.2.643.100.1=PRINTABLE:1027700132195") +
                     " --rdn " + Quote("emailAddress=ivanov@example.ru") +
                     " --rdn " + Quote("2.5.4.11=IA5:x") + " --rdn " + Quote("2.5.4.12=BMP:Я"),
                 &out),
            0)
      << out;
  EXPECT_EQ(out, "1000\n");
  X509Ptr cert = ReadCert(work + "/cert.der");
  ASSERT_TRUE(cert);
  std::vector<Entry> expected = {
      {"2.5.4.6", V_ASN1_PRINTABLESTRING, "RU", 0},
      {"2.5.4.10", V_ASN1_UTF8STRING, u8"ООО \"Ромашка, и К\"", 1},
      {"2.5.4.4", V_ASN1_UTF8STRING, u8"Иванов", 2},
      {"2.5.4.42", V_ASN1_UTF8STRING, u8"Иван Иванович", 2},
      {"2.5.4.3", V_ASN1_UTF8STRING, "a+b\\c, d=e", 3},
      {"1.2.643.3.131.1.1", V_ASN1_NUMERICSTRING, "007712345678", 4},
      {"1.2.643.100.1", V_ASN1_PRINTABLESTRING, "1027700132195", 5},
      {"1.2.840.113549.1.9.1", V_ASN1_IA5STRING, "ivanov@example.ru", 6},
      {"2.5.4.11", V_ASN1_IA5STRING, "x", 7},
      {"2.5.4.12", V_ASN1_BMPSTRING, u8"Я", 8},
  };
  EXPECT_EQ(Entries(X509_get_subject_name(cert.get())), expected);

  // The saved key is the certificate's key.
  BioPtr keyFile(BIO_new_file((work + "/key.pem").c_str(), "r"));
  PkeyPtr key(PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
  ASSERT_TRUE(key);
  EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1);
  EXPECT_EQ(access((ca + "/issued/1000.der").c_str(), F_OK), 0);
}

TEST_F(TestcaCommands, MintRefusesSubjectsItCannotWrite) {
  std::string key = " --key-out " + Quote(work + "/key.pem");
  EXPECT_EQ(Mint(key + " --rdn " + Quote("INN=NUMERIC:77a")), 2);
  EXPECT_EQ(Mint(key + " --rdn " + Quote("C=PRINTABLE:Россия")), 2);
  EXPECT_EQ(Mint(key + " --rdn " + Quote("nosuchtype=1")), 2);
  EXPECT_EQ(Mint(key + " --rdn " + Quote("CN")), 2);
  EXPECT_EQ(Mint(key + " --rdn " + Quote("CN=a+") ), 2);
  EXPECT_EQ(access((work + "/cert.der").c_str(), F_OK), -1);
  EXPECT_EQ(ReadText(ca + "/serial"), "1000\n");  // nothing was issued
}

TEST_F(TestcaCommands, MintWithoutRdnGivesAnEmptySubject) {
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem")), 0);
  X509Ptr cert = ReadCert(work + "/cert.der");
  ASSERT_TRUE(cert);
  EXPECT_EQ(X509_NAME_entry_count(X509_get_subject_name(cert.get())), 0);
}

TEST_F(TestcaCommands, MintTakesValidityAndSerialFromTheCaller) {
  std::string out;
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem") +
                     " --not-before 20260131000000Z --not-after 20510228235959Z"
                     " --serial 8f112233445566778899aabbccddeeff00112233",
                 &out),
            0)
      << out;
  EXPECT_EQ(out, "8F112233445566778899AABBCCDDEEFF00112233\n");
  X509Ptr cert = ReadCert(work + "/cert.der");
  ASSERT_TRUE(cert);
  EXPECT_EQ(SerialHex(X509_get0_serialNumber(cert.get())), "8F112233445566778899AABBCCDDEEFF00112233");
  EXPECT_EQ(X509_get0_notBefore(cert.get())->type, V_ASN1_UTCTIME);
  EXPECT_EQ(X509_get0_notAfter(cert.get())->type, V_ASN1_GENERALIZEDTIME);
  time_t notBefore, notAfter;
  ASSERT_TRUE(ParseTimeArg("20260131000000Z", 0, notBefore));
  ASSERT_TRUE(ParseTimeArg("20510228235959Z", 0, notAfter));
  EXPECT_EQ(TimeOf(X509_get0_notBefore(cert.get())), notBefore);
  EXPECT_EQ(TimeOf(X509_get0_notAfter(cert.get())), notAfter);
  EXPECT_EQ(ReadText(ca + "/serial"), "1000\n");  // a chosen serial leaves the counter alone

  time_t now = time(nullptr);
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --not-before -2d --not-after +1mon"), 0);
  cert = ReadCert(work + "/cert.der");
  EXPECT_NEAR(static_cast<double>(TimeOf(X509_get0_notBefore(cert.get()))), static_cast<double>(now - 2 * 86400), 5);
  EXPECT_NEAR(static_cast<double>(TimeOf(X509_get0_notAfter(cert.get()))), static_cast<double>(AddMonths(now, 1)), 5);

  EXPECT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --serial 0"), 2);
  EXPECT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --serial 01" + std::string(40, '0')), 2);
  EXPECT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --not-after 20270231000000Z"), 2);
}

TEST_F(TestcaCommands, MintForARequestUsesItsKey) {
  RequestOrder order;
  order.subject = {u8"SN = Петров", "INN = 500100732259"};
  std::string request = MakeRequest(work, "request", order);
  ASSERT_FALSE(request.empty());
  X509ReqPtr req = ReadReq(request);

  ASSERT_EQ(Mint("--csr " + Quote(request) + " --rdn " + Quote(u8"CN=Другой")), 0);
  X509Ptr cert = ReadCert(work + "/cert.der");
  ASSERT_TRUE(cert);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
  EXPECT_EQ(Entries(X509_get_subject_name(cert.get())),
            std::vector<Entry>({{"2.5.4.3", V_ASN1_UTF8STRING, u8"Другой", 0}}));

  ASSERT_EQ(Mint("--csr " + Quote(request) + " --csr-subject"), 0);
  cert = ReadCert(work + "/cert.der");
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_REQ_get_subject_name(req.get())), 0);

  // A request whose signature does not match its key is not taken.
  Bytes bytes;
  ReadFile(request, bytes);
  bytes.back() ^= 0x01;
  WriteFileAtomic(work + "/bad.req", bytes.data(), bytes.size());
  EXPECT_EQ(Mint("--csr " + Quote(work + "/bad.req")), 1);
}

TEST_F(TestcaCommands, MintAddsTheExtensionsAskedFor) {
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --no-default-ext" +
                 " --ext " + Quote("extendedKeyUsage=1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6") +
                 " --ext " + Quote(u8"1.2.643.100.111=ASN1:FORMAT:UTF8,UTF8String:СКЗИ")),
            0);
  X509Ptr cert = ReadCert(work + "/cert.der");
  ASSERT_TRUE(cert);
  EXPECT_EQ(X509_get_ext_count(cert.get()), 2);
  EXPECT_EQ(X509_get_extended_key_usage(cert.get()), XKU_SSL_CLIENT);
  int at = X509_get_ext_by_NID(cert.get(), NID_subjectSignTool, -1);
  ASSERT_GE(at, 0);
  const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(X509_get_ext(cert.get(), at));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(data)), ASN1_STRING_length(data)),
            std::string("\x0c\x08") + u8"СКЗИ");

  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem")), 0);
  cert = ReadCert(work + "/cert.der");
  EXPECT_EQ(X509_get_key_usage(cert.get()),
            static_cast<uint32_t>(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT));
  EXPECT_EQ(X509_check_ca(cert.get()), 0);
  EXPECT_EQ(Mint("--key-out " + Quote(work + "/key.pem") + " --ext " + Quote("noSuchExtension=1")), 1);
}

TEST_F(TestcaCommands, SerialsComeFromTheCounter) {
  std::string first, second;
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem"), &first), 0);
  ASSERT_EQ(Mint("--key-out " + Quote(work + "/key.pem"), &second), 0);
  EXPECT_EQ(first, "1000\n");
  EXPECT_EQ(second, "1001\n");
  EXPECT_EQ(ReadText(ca + "/serial"), "1002\n");
}

// A rekeyed centre keeps its name and its earlier key's files, and signs
// with the new key from then on: certificates minted before and after are
// signed by different keys under one issuer name.
TEST_F(TestcaCommands, RekeyChangesTheSigningKeyUnderTheSameName) {
  std::string testca = Quote(Testca()), before = work + "/before.der", after = work + "/after.der";
  ASSERT_EQ(Shell(testca + " init " + Quote(work + "/old") + " --kind 2001"), 0);
  std::string old = work + "/old";
  ASSERT_EQ(Shell(testca + " mint " + Quote(old) + " --out " + Quote(before) + " --key-out " + Quote(work + "/k.pem")), 0);
  Bytes keyBefore, derBefore;
  ReadFile(old + "/ca.key", keyBefore);
  ReadFile(old + "/ca.der", derBefore);
  ASSERT_EQ(Shell(testca + " rekey " + Quote(old)), 0);
  ASSERT_EQ(Shell(testca + " mint " + Quote(old) + " --out " + Quote(after) + " --key-out " + Quote(work + "/k.pem")), 0);

  Bytes kept;
  ReadFile(old + "/ca-1.key", kept);
  EXPECT_EQ(kept, keyBefore);
  ReadFile(old + "/ca-1.der", kept);
  EXPECT_EQ(kept, derBefore);
  X509Ptr first = ReadCert(old + "/ca-1.pem"), second = ReadCert(old + "/ca.pem"), secondDer = ReadCert(old + "/ca.der");
  X509Ptr minted = ReadCert(before), mintedAfter = ReadCert(after);
  ASSERT_TRUE(first && second && secondDer && minted && mintedAfter);
  EXPECT_EQ(X509_cmp(second.get(), secondDer.get()), 0);
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(first.get()), X509_get_subject_name(second.get())), 0);
  X509Ptr head = ReadCert(old + "/head/ca.pem");
  ASSERT_TRUE(head);
  EXPECT_NE(SerialHex(X509_get0_serialNumber(first.get())), SerialHex(X509_get0_serialNumber(second.get())));
  EXPECT_EQ(X509_verify(second.get(), X509_get0_pubkey(head.get())), 1);
  EXPECT_EQ(X509_check_ca(second.get()), 1);
  EXPECT_NE(ASN1_OCTET_STRING_cmp(X509_get0_subject_key_id(first.get()), X509_get0_subject_key_id(second.get())), 0);
  // The kind stays unless asked otherwise.
  EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(second.get())), NID_id_GostR3410_2001);

  EXPECT_EQ(X509_verify(minted.get(), X509_get0_pubkey(first.get())), 1);
  EXPECT_NE(X509_verify(minted.get(), X509_get0_pubkey(second.get())), 1);
  EXPECT_EQ(X509_verify(mintedAfter.get(), X509_get0_pubkey(second.get())), 1);
  EXPECT_NE(X509_verify(mintedAfter.get(), X509_get0_pubkey(first.get())), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(minted.get()), X509_get_issuer_name(mintedAfter.get())), 0);
  EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(mintedAfter.get()),
                                  X509_get0_subject_key_id(second.get())),
            0);
  // Each names the URL of the key that signed it.
  EXPECT_EQ(CaIssuersUrl(minted.get()), "http://127.0.0.1:2080" + PublishedPath(first.get()));
  EXPECT_EQ(CaIssuersUrl(mintedAfter.get()), "http://127.0.0.1:2080" + PublishedPath(second.get()));

  // A second rekey, to another kind, keeps the first's files as ca-2.
  ASSERT_EQ(Shell(testca + " rekey " + Quote(old) + " --kind 2012-512"), 0);
  X509Ptr third = ReadCert(old + "/ca.pem"), kept2 = ReadCert(old + "/ca-2.pem");
  ASSERT_TRUE(third && kept2);
  EXPECT_EQ(X509_cmp(kept2.get(), second.get()), 0);
  EXPECT_EQ(X509_verify(third.get(), X509_get0_pubkey(head.get())), 1);
  EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(third.get())), NID_id_GostR3410_2012_512);

  EXPECT_EQ(Shell(testca + " rekey " + Quote(work + "/no-ca")), 1);
  EXPECT_EQ(Shell(testca + " rekey " + Quote(old) + " --kind 2012"), 2);
  EXPECT_EQ(access((old + "/ca-3.pem").c_str(), F_OK), -1);
}

TEST_F(TestcaCommands, PayUnpayAndLedger) {
  std::string testca = Quote(Testca()), dir = Quote(ca), out;
  ASSERT_EQ(Shell(testca + " pay " + dir + " a"), 0);
  ASSERT_EQ(Shell(testca + " pay " + dir + " 1000"), 0);
  ASSERT_EQ(Shell(testca + " unpay " + dir + " 0A"), 0);
  ASSERT_EQ(Shell(testca + " ledger " + dir, &out), 0);
  EXPECT_EQ(out, "0A unpaid\n1000 paid\n");
  ASSERT_EQ(Shell(testca + " ledger " + dir + " 7777", &out), 0);
  EXPECT_EQ(out, "7777 unpaid\n");
  EXPECT_EQ(Shell(testca + " pay " + dir + " xyz"), 2);
  EXPECT_EQ(Shell(testca + " pay " + Quote(work + "/no-ca") + " 10"), 1);
  EXPECT_EQ(Shell(testca + " ledger " + Quote(work + "/no-ca")), 1);
}

}  // namespace
