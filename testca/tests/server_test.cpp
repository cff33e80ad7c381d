// The renewal server over loopback, with requests made by OpenSSL itself.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <ctime>
#include <thread>

#include "ca_test_support.h"
#include "issue.h"

namespace {

const std::vector<std::string> kHolderRdns = {
    "C=RU",
    u8"ST=77 г. Москва",
    u8"L=Москва",
    u8"O=ООО \"Ромашка, и К\"",
    u8"SN=Иванов",
    u8"GN=Иван Иванович",
    u8"CN=Иванов Иван Иванович",
    "INN=NUMERIC:007712345678",
    "OGRN=NUMERIC:1027700132195",
    "SNILS=NUMERIC:12345678901",
    "2.5.4.5=PRINTABLE:12345",  // serialNumber: not a holder attribute, never asked for
};

// The holder's attributes in the order the program lists them for a request.
const std::vector<std::string> kRequestSubject = {
    u8"SN = Иванов",          u8"GN = Иван Иванович", u8"CN = Иванов Иван Иванович",
    u8"O = ООО \\\"Ромашка, и К\\\"", u8"L = Москва",     u8"ST = 77 г. Москва",
    "C = RU",                  "INN = 007712345678",   "OGRN = 1027700132195",
    "SNILS = 12345678901",
};

const Bytes kPaidReply = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x03, 0x01};
const Bytes kNotPaidReply = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x03, 0x00};

bool Has(const std::string &line, const std::string &field) { return line.find(field) != std::string::npos; }

time_t TimeOf(const ASN1_TIME *t) {
  struct tm tm;
  ASN1_TIME_to_tm(t, &tm);
  return timegm(&tm);
}

class RenewalServer : public ::testing::Test {
 protected:
  void SetUp() override {
    work = FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ca = work + "/ca";
    ASSERT_EQ(Shell(Quote(Testca()) + " init " + Quote(ca)), 0);
    holder = MintHolder(ca, work, "holder", kHolderRdns);
    ASSERT_FALSE(holder.serial.empty());
    ASSERT_EQ(Shell(Quote(Testca()) + " pay " + Quote(ca) + " " + holder.serial), 0);
  }

  void StartServer(const std::vector<std::string> &args = {}) { ASSERT_TRUE(server.Start(ca, args)); }

  RequestOrder GoodOrder() {
    RequestOrder order;
    order.subject = kRequestSubject;
    order.extensions = RenewalExtensions();
    return order;
  }

  Bytes PaymentRequest() { return SignWith(holder, WritePaymentContent(work), work); }

  Bytes CertificateRequest(const RequestOrder &order, std::string *requestPath = nullptr) {
    std::string path = MakeRequest(work, "request" + std::to_string(requests++), order);
    EXPECT_FALSE(path.empty());
    if (requestPath) *requestPath = path;
    return SignWith(holder, path, work);
  }

  // The journal line of connection n (1-based), waiting briefly: the server
  // writes it after closing the connection.
  std::string JournalLine(int n) {
    for (int i = 0; i < 100; i++) {
      for (const std::string &line : JournalLines(ca))
        if (Has(line, "\tconn=" + std::to_string(n) + "\t")) return line;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

  std::string Ledger() {
    std::string out;
    Shell(Quote(Testca()) + " ledger " + Quote(ca) + " " + holder.serial, &out);
    return out;
  }

  // Starts a server, sends a request that it must refuse, and returns the journal line.
  std::string Refused(const Bytes &request) {
    Reply reply = Exchange(server.port(), request);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_FALSE(reply.timedOut);
    return JournalLine(++exchanges);
  }

  std::string work, ca;
  Holder holder;
  ServerProcess server;
  int requests = 0;
  int exchanges = 0;
};

TEST_F(RenewalServer, PaymentRequestIsAnsweredFromTheLedger) {
  StartServer();
  Bytes request = PaymentRequest();
  ASSERT_FALSE(request.empty());

  EXPECT_EQ(Exchange(server.port(), request).bytes, kPaidReply);
  std::string line = JournalLine(1);
  EXPECT_TRUE(Has(line, "\tkind=payment\t")) << line;
  EXPECT_TRUE(Has(line, "\tsigner-serial=" + holder.serial + "\t")) << line;
  EXPECT_TRUE(Has(line, u8"\tsigner-subject=2.5.4.6=RU, 2.5.4.8=77 г. Москва, 2.5.4.7=Москва, "
                        u8"2.5.4.10=ООО \"Ромашка\\, и К\", 2.5.4.4=Иванов")) << line;
  EXPECT_TRUE(Has(line, "\tchecks=passed\tpaid=yes\tanswered=8")) << line;

  ASSERT_EQ(Shell(Quote(Testca()) + " unpay " + Quote(ca) + " " + holder.serial), 0);
  EXPECT_EQ(Exchange(server.port(), request).bytes, kNotPaidReply);
  EXPECT_TRUE(Has(JournalLine(2), "\tpaid=no\tanswered=8")) << JournalLine(2);
  // Asking about the payment does not use it up.
  EXPECT_EQ(Ledger(), holder.serial + " unpaid\n");
}

TEST_F(RenewalServer, AcceptedRequestGetsA13MonthCertificateForTheRequestedKey) {
  StartServer();
  std::string requestPath;
  Bytes request = CertificateRequest(GoodOrder(), &requestPath);
  time_t before = time(nullptr);
  Reply reply = Exchange(server.port(), request);
  time_t after = time(nullptr);

  X509Ptr cert = CertFromBytes(reply.bytes);  // the DER alone, nothing before or after
  ASSERT_TRUE(cert) << "reply of " << reply.bytes.size() << " bytes is not a certificate";
  X509Ptr caCert = ReadCert(ca + "/ca.pem");
  X509ReqPtr req = ReadReq(requestPath);
  ASSERT_TRUE(caCert && req);

  EXPECT_EQ(X509_get_version(cert.get()), X509_VERSION_3);
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_subject_name(caCert.get())), 0);
  EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(caCert.get())), 1);
  EXPECT_EQ(X509_get_signature_nid(cert.get()), X509_get_signature_nid(caCert.get()));
  EXPECT_EQ(Shell("openssl x509 -engine gost -inform DER -in " + Quote(ca + "/issued/" +
                SerialHex(X509_get0_serialNumber(cert.get())) + ".der") +
                " -out " + Quote(work + "/issued.pem") + " && openssl verify -engine gost -partial_chain -CAfile " +
                Quote(ca + "/ca.pem") + " " + Quote(work + "/issued.pem")),
            0);

  time_t notBefore = TimeOf(X509_get0_notBefore(cert.get()));
  EXPECT_GE(notBefore, before - 1);
  EXPECT_LE(notBefore, after);
  EXPECT_EQ(TimeOf(X509_get0_notAfter(cert.get())), AddMonths(notBefore, 13));

  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_REQ_get_subject_name(req.get())), 0);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
  STACK_OF(X509_EXTENSION) *asked = X509_REQ_get_extensions(req.get());
  ASSERT_EQ(sk_X509_EXTENSION_num(asked), 4);
  for (int i = 0; i < 4; i++) {
    X509_EXTENSION *want = sk_X509_EXTENSION_value(asked, i);
    int at = X509_get_ext_by_OBJ(cert.get(), X509_EXTENSION_get_object(want), -1);
    ASSERT_GE(at, 0) << "extension " << i << " not copied";
    EXPECT_EQ(ASN1_STRING_cmp(X509_EXTENSION_get_data(X509_get_ext(cert.get(), at)), X509_EXTENSION_get_data(want)),
              0);
  }
  sk_X509_EXTENSION_pop_free(asked, X509_EXTENSION_free);

  std::string issued = SerialHex(X509_get0_serialNumber(cert.get()));
  Bytes kept, sent;
  ASSERT_TRUE(ReadFile(ca + "/requests/" + issued + ".der", kept) && ReadFile(requestPath, sent));
  EXPECT_EQ(kept, sent);  // the request as it came, for a test to look at
  std::string line = JournalLine(1);
  EXPECT_TRUE(Has(line, "\tkind=certificate\t")) << line;
  EXPECT_TRUE(Has(line, "\tsigner-serial=" + holder.serial + "\t")) << line;
  EXPECT_TRUE(Has(line, u8"\trequest-subject=2.5.4.4=Иванов, 2.5.4.42=Иван Иванович")) << line;
  EXPECT_TRUE(Has(line, "\tchecks=passed\tissued-serial=" + issued + "\tanswered=" +
                            std::to_string(reply.bytes.size()))) << line;

  // The payment is used up: the same request again is refused.
  EXPECT_EQ(Ledger(), holder.serial + " used " + issued + "\n");
  EXPECT_TRUE(Exchange(server.port(), request).bytes.empty());
  EXPECT_TRUE(Has(JournalLine(2), "\tchecks=failed\treason=payment already used\t")) << JournalLine(2);
}

// A centre of each kind renews holders of each kind: it verifies their
// signatures, certifies the requested key with its algorithm and parameter
// set as they are, and signs with its own key and digest.
TEST_F(RenewalServer, RenewsEveryKindOfKeyWithTheCentresKind) {
  struct Case {
    std::string caKind, holderKind, paramset;
  } cases[] = {
      {"2001", "2001", "A"},         {"2012-256", "2012-256", "A"}, {"2012-256", "2012-256", "TCA"},
      {"2012-512", "2012-512", "A"}, {"2001", "2012-512", "C"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("centre " + c.caKind + ", holder " + c.holderKind + " " + c.paramset);
    std::string dir = work + "/" + c.caKind + "-" + c.holderKind + "-" + c.paramset;
    ASSERT_EQ(Shell("mkdir -p " + Quote(dir) + " && " + Quote(Testca()) + " init " + Quote(dir + "/ca") +
                    " --kind " + c.caKind),
              0);
    Holder kindHolder =
        MintHolder(dir + "/ca", dir, "holder", kHolderRdns, "--kind " + c.holderKind + " --paramset " + c.paramset);
    ASSERT_FALSE(kindHolder.serial.empty());
    ASSERT_EQ(Shell(Quote(Testca()) + " pay " + Quote(dir + "/ca") + " " + kindHolder.serial), 0);
    ServerProcess kindServer;
    ASSERT_TRUE(kindServer.Start(dir + "/ca"));

    EXPECT_EQ(Exchange(kindServer.port(), SignWith(kindHolder, WritePaymentContent(dir), dir)).bytes, kPaidReply);
    // The renewal's new key is of the holder's kind and set (the engine's
    // gost2001, gost2012_256, gost2012_512).
    RequestOrder order = GoodOrder();
    std::string algorithm = "gost" + c.holderKind;
    std::replace(algorithm.begin(), algorithm.end(), '-', '_');
    order.keyAlgorithm = "-algorithm " + algorithm + " -pkeyopt paramset:" + c.paramset;
    std::string requestPath = MakeRequest(dir, "request", order);
    ASSERT_FALSE(requestPath.empty());
    Reply reply = Exchange(kindServer.port(), SignWith(kindHolder, requestPath, dir));
    X509Ptr cert = CertFromBytes(reply.bytes);
    ASSERT_TRUE(cert) << "reply of " << reply.bytes.size() << " bytes is not a certificate";
    X509Ptr caCert = ReadCert(dir + "/ca/ca.pem");
    X509ReqPtr req = ReadReq(requestPath);
    ASSERT_TRUE(caCert && req);
    EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(caCert.get())), 1);
    EXPECT_EQ(X509_get_signature_nid(cert.get()), X509_get_signature_nid(caCert.get()));
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
    EXPECT_EQ(EVP_PKEY_parameters_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
  }
}

// A holder certified before the centre changed its key renews afterwards;
// the new certificate is signed by the new key.
TEST_F(RenewalServer, RenewsAHolderOfTheEarlierKeyAfterARekey) {
  ASSERT_EQ(Shell(Quote(Testca()) + " rekey " + Quote(ca)), 0);
  StartServer();
  EXPECT_EQ(Exchange(server.port(), PaymentRequest()).bytes, kPaidReply);
  X509Ptr cert = CertFromBytes(Exchange(server.port(), CertificateRequest(GoodOrder())).bytes);
  X509Ptr earlier = ReadCert(ca + "/ca-1.pem"), current = ReadCert(ca + "/ca.pem");
  ASSERT_TRUE(cert && earlier && current);
  EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(current.get())), 1);
  EXPECT_NE(X509_verify(cert.get(), X509_get0_pubkey(earlier.get())), 1);
}

// One HTTP request; the status line's code and the body.
struct HttpReply {
  std::string status;
  Bytes body;
};
HttpReply HttpGet(int port, const std::string &path) {
  HttpReply result;
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
  Reply reply = Exchange(port, Bytes(request.begin(), request.end()));
  std::string text(reply.bytes.begin(), reply.bytes.end());
  size_t end = text.find("\r\n\r\n");
  if (text.size() < 12 || end == std::string::npos) return result;
  result.status = text.substr(9, 3);
  result.body.assign(reply.bytes.begin() + end + 4, reply.bytes.end());
  return result;
}

Bytes Der(const std::string &path) {
  Bytes der;
  ReadFile(path, der);
  return der;
}

// The centre publishes its certificates, current and earlier, and its head's
// at the caIssuers URLs of what they issued; a certificate it issues names
// its current key's URL.
TEST_F(RenewalServer, PublishesTheChainAtTheCaIssuersUrls) {
  ASSERT_EQ(Shell(Quote(Testca()) + " rekey " + Quote(ca + "/head")), 0);
  ASSERT_EQ(Shell(Quote(Testca()) + " rekey " + Quote(ca)), 0);
  StartServer();
  ASSERT_NE(server.httpPort(), 0);
  X509Ptr cert = CertFromBytes(Exchange(server.port(), CertificateRequest(GoodOrder())).bytes);
  X509Ptr centre = ReadCert(ca + "/ca.pem"), earlier = ReadCert(ca + "/ca-1.pem");
  ASSERT_TRUE(cert && centre && earlier);
  EXPECT_EQ(CaIssuersUrl(cert.get()), "http://127.0.0.1:2080" + PublishedPath(centre.get()));
  for (const char *file : {"ca.der", "ca-1.der", "head/ca.der", "head/ca-1.der"}) {
    X509Ptr published = ReadCert(ca + "/" + file);
    ASSERT_TRUE(published) << file;
    HttpReply got = HttpGet(server.httpPort(), PublishedPath(published.get()));
    EXPECT_EQ(got.status, "200") << file;
    EXPECT_EQ(got.body, Der(ca + "/" + file)) << file;
  }
  // Each URL leads on to the certificate of the key above.
  std::string centreUrl = CaIssuersUrl(earlier.get());
  X509Ptr oldHead = CertFromBytes(HttpGet(server.httpPort(), centreUrl.substr(centreUrl.rfind('/'))).body);
  ASSERT_TRUE(oldHead);
  EXPECT_EQ(X509_verify(earlier.get(), X509_get0_pubkey(oldHead.get())), 1);
  EXPECT_EQ(HttpGet(server.httpPort(), "/0011223344.der").status, "404");
  EXPECT_TRUE(Has(ReadText(ca + "/http.log"), "\tstatus=404\t")) << ReadText(ca + "/http.log");
}

// The other-key fault answers with a certificate for a fresh key of the
// request's own kind and set, so only the key itself tells it apart.
TEST_F(RenewalServer, OtherKeyIsOfTheRequestsKind) {
  StartServer({"--fault", "other-key"});
  RequestOrder order = GoodOrder();
  order.keyAlgorithm = "-algorithm gost2012_512 -pkeyopt paramset:B";
  std::string requestPath;
  X509Ptr cert = CertFromBytes(Exchange(server.port(), CertificateRequest(order, &requestPath)).bytes);
  X509ReqPtr req = ReadReq(requestPath);
  ASSERT_TRUE(cert && req);
  EXPECT_NE(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
  EXPECT_EQ(EVP_PKEY_parameters_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
}

TEST_F(RenewalServer, RefusesSignerFromAnotherCa) {
  std::string otherCa = work + "/other-ca";
  ASSERT_EQ(Shell(Quote(Testca()) + " init " + Quote(otherCa)), 0);
  Holder stranger = MintHolder(otherCa, work, "stranger", kHolderRdns);
  // Same serial as our holder's, and paid: only the issuer tells them apart.
  ASSERT_EQ(stranger.serial, holder.serial);
  StartServer();

  std::string line = Refused(SignWith(stranger, WritePaymentContent(work), work));
  EXPECT_TRUE(Has(line, "\tkind=payment\t")) << line;
  EXPECT_TRUE(Has(line, "\tchecks=failed\treason=signature or signer's certificate does not verify")) << line;
  line = Refused(SignWith(stranger, MakeRequest(work, "stranger-request", GoodOrder()), work));
  EXPECT_TRUE(Has(line, "\tkind=certificate\t")) << line;
  EXPECT_TRUE(Has(line, "\tchecks=failed\treason=signature or signer's certificate does not verify")) << line;
  EXPECT_EQ(Ledger(), holder.serial + " paid\n");
}

TEST_F(RenewalServer, RefusesTamperedSignature) {
  StartServer();
  Bytes request = PaymentRequest();
  request.back() ^= 0x01;  // the last byte belongs to the signature value
  std::string line = Refused(request);
  EXPECT_TRUE(Has(line, "\tkind=payment\t")) << line;
  EXPECT_TRUE(Has(line, "\tchecks=failed\treason=signature or signer's certificate does not verify")) << line;
}

TEST_F(RenewalServer, RefusesRequestForAnotherHolder) {
  StartServer();
  struct Case {
    const char *what;
    std::string change, to;  // the subject line replaced ("" to drop it, or added when change is "")
    const char *reason;
  } cases[] = {
      {"another surname", u8"SN = Иванов", u8"SN = Петров", "reason=request subject attribute 2.5.4.4 is"},
      {"INN missing", "INN = 007712345678", "", "reason=request subject lacks attribute 1.2.643.3.131.1.1"},
      {"extra holder type", "", "OGRNIP = 304500116000157", "reason=request subject adds attribute 1.2.643.100.5"},
      // OpenSSL's req drops a field name's first part up to a dot.
      {"extra organisation's INN", "", "0.1.2.643.100.4 = 7712345678",
       "reason=request subject adds attribute 1.2.643.100.4"},
      {"non-holder type", "", "serialNumber = 12345", "reason=request subject has attribute 2.5.4.5"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RequestOrder order = GoodOrder();
    if (c.change.empty()) {
      order.subject.push_back(c.to);
    } else {
      for (std::string &line : order.subject)
        if (line == c.change) line = c.to;
    }
    std::string line = Refused(CertificateRequest(order));
    EXPECT_TRUE(Has(line, "\tchecks=failed\t" + std::string(c.reason))) << line;
  }
  EXPECT_EQ(Ledger(), holder.serial + " paid\n");
}

TEST_F(RenewalServer, RefusesRequestWithoutTheRequiredExtensions) {
  StartServer();
  std::vector<std::string> all = RenewalExtensions();
  struct Case {
    const char *what;
    std::vector<std::string> extensions;
    const char *reason;
  } cases[] = {
      {"no keyUsage", {all[1], all[2], all[3]}, "reason=request lacks the extension keyUsage"},
      {"no extendedKeyUsage", {all[0], all[2], all[3]}, "reason=request lacks the extension extendedKeyUsage"},
      {"no signing tool", {all[0], all[1], all[3]}, "reason=request lacks the extension 1.2.643.100.111"},
      {"no template", {all[0], all[1], all[2]}, "reason=request lacks the extension 1.3.6.1.4.1.311.21.7"},
      {"keyUsage with keyCertSign",
       {"keyUsage = digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign", all[1], all[2],
        all[3]},
       "reason=keyUsage is not exactly"},
      {"one purpose short",
       {all[0], "extendedKeyUsage = 1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6", all[2], all[3]},
       "reason=extendedKeyUsage is not the required list"},
      // OpenSSL without FORMAT:UTF8 encodes the UTF-8 bytes once more.
      {"signing tool encoded twice",
       {all[0], all[1], u8"1.2.643.100.111 = ASN1:UTF8String:СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»",
        all[3]},
       "reason=1.2.643.100.111 is not a UTF8String of the signing tool's name"},
      {"template 1.1",
       {all[0], all[1], all[2], "1.3.6.1.4.1.311.21.7 = ASN1:SEQUENCE:bad\n[bad]\nid=OID:1.2.643.3.6.3.13\nmajor=INTEGER:1\nminor=INTEGER:1"},
       "reason=1.3.6.1.4.1.311.21.7 is not SEQUENCE"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RequestOrder order = GoodOrder();
    order.extensions = c.extensions;
    std::string line = Refused(CertificateRequest(order));
    EXPECT_TRUE(Has(line, "\tchecks=failed\t" + std::string(c.reason))) << line;
  }
  EXPECT_EQ(Ledger(), holder.serial + " paid\n");
}

TEST_F(RenewalServer, RefusesRequestForTheSignersOwnKey) {
  StartServer();
  RequestOrder order = GoodOrder();
  order.keyPem = holder.keyPem;
  std::string line = Refused(CertificateRequest(order));
  EXPECT_TRUE(Has(line, "\tchecks=failed\treason=request public key is the signer's own key\t")) << line;
}

TEST_F(RenewalServer, RefusesUnpaidCertificateRequest) {
  ASSERT_EQ(Shell(Quote(Testca()) + " unpay " + Quote(ca) + " " + holder.serial), 0);
  StartServer();
  std::string line = Refused(CertificateRequest(GoodOrder()));
  EXPECT_TRUE(Has(line, "\tchecks=failed\treason=renewal not paid\t")) << line;
}

TEST_F(RenewalServer, BadInputClosesOnlyItsOwnConnection) {
  StartServer({"--read-timeout", "3"});
  Bytes good = PaymentRequest();

  // 1: not DER at all.
  int malformed = Connect(server.port());
  const char text[] = "GET / HTTP/1.0\r\n\r\n";
  send(malformed, text, sizeof text - 1, MSG_NOSIGNAL);
  Reply malformedReply = ReadToEnd(malformed);
  std::string malformedLine = JournalLine(1);

  // 2: half a request, then silence with the sending side left open.
  int truncated = Connect(server.port());
  send(truncated, good.data(), good.size() / 2, MSG_NOSIGNAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // 3: a 2 MiB request streamed while the server decides.
  int oversized = Connect(server.port());
  std::thread flood([oversized] {
    Bytes big(2 * 1024 * 1024 + 5, 0x41);
    const unsigned char header[] = {0x30, 0x83, 0x20, 0x00, 0x00};
    std::copy(header, header + sizeof header, big.begin());
    send(oversized, big.data(), big.size(), MSG_NOSIGNAL);  // fails once the server closes
  });

  // 4: a good request while the silent one still holds its connection.
  Reply goodReply = Exchange(server.port(), good);
  struct pollfd p = {truncated, POLLIN, 0};
  bool truncatedStillOpen = poll(&p, 1, 0) == 0;

  Reply oversizedReply = ReadToEnd(oversized);
  flood.join();
  Reply truncatedReply = ReadToEnd(truncated);  // ends with the server's read time-out

  EXPECT_EQ(goodReply.bytes, kPaidReply);
  EXPECT_TRUE(truncatedStillOpen);
  EXPECT_TRUE(malformedReply.bytes.empty());
  EXPECT_TRUE(oversizedReply.bytes.empty());
  EXPECT_TRUE(truncatedReply.bytes.empty());
  EXPECT_FALSE(truncatedReply.timedOut);

  EXPECT_TRUE(Has(malformedLine, "\tkind=malformed\t")) << malformedLine;
  EXPECT_TRUE(Has(malformedLine, "\tanswered=0")) << malformedLine;
  std::string line = JournalLine(2);
  EXPECT_TRUE(Has(line, "\tkind=truncated\treceived=" + std::to_string(good.size() / 2) + "\t")) << line;
  line = JournalLine(3);
  EXPECT_TRUE(Has(line, "\tkind=oversized\t")) << line;
  EXPECT_TRUE(Has(line, "reason=declared length is over 1048576 bytes")) << line;
  EXPECT_TRUE(Has(JournalLine(4), "\tkind=payment\t")) << JournalLine(4);

  // And the server goes on serving.
  EXPECT_EQ(Exchange(server.port(), good).bytes, kPaidReply);
}

TEST_F(RenewalServer, RequestCutShortByTheClientIsJournaledAsTruncated) {
  StartServer();
  Bytes good = PaymentRequest();
  int fd = Connect(server.port());
  send(fd, good.data(), good.size() - 1, MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  EXPECT_TRUE(ReadToEnd(fd).bytes.empty());
  std::string line = JournalLine(1);
  EXPECT_TRUE(Has(line, "\tkind=truncated\treceived=" + std::to_string(good.size() - 1) + "\t")) << line;
  EXPECT_TRUE(Has(line, "reason=connection ended before the request's end")) << line;
}

TEST_F(RenewalServer, SignedContentThatIsNoRequestIsMalformed) {
  StartServer();
  std::string path = work + "/hello.txt";
  WriteFileAtomic(path, "hello", 5);
  std::string line = Refused(SignWith(holder, path, work));
  EXPECT_TRUE(Has(line, "\tkind=malformed\t")) << line;
  EXPECT_TRUE(Has(line, "reason=content is neither the payment request nor a certificate request")) << line;
}

TEST_F(RenewalServer, StopsOnSigtermAfterTheExchangeUnderWay) {
  StartServer({"--fault", "slow:1"});
  EXPECT_TRUE(ReadText(ca + "/serve.pid").size() > 1);
  Bytes request = PaymentRequest();
  Reply reply;
  std::thread client([&] { reply = Exchange(server.port(), request); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server.Stop(), 0);
  client.join();
  EXPECT_EQ(reply.bytes, kPaidReply);
  EXPECT_NE(access((ca + "/serve.pid").c_str(), F_OK), 0);
  EXPECT_LT(Connect(server.port()), 0);
}

TEST_F(RenewalServer, SeveralHoldersAreServedAtOnce) {
  const int kHolders = 4;
  std::vector<Bytes> requests;
  std::vector<std::string> serials;
  for (int i = 0; i < kHolders; i++) {
    std::vector<std::string> rdns = {u8"SN=Сидоров", "INN=NUMERIC:50010073225" + std::to_string(i)};
    Holder h = MintHolder(ca, work, "holder" + std::to_string(i), rdns);
    ASSERT_FALSE(h.serial.empty());
    ASSERT_EQ(Shell(Quote(Testca()) + " pay " + Quote(ca) + " " + h.serial), 0);
    RequestOrder order;
    order.subject = {u8"SN = Сидоров", "INN = 50010073225" + std::to_string(i)};
    order.extensions = RenewalExtensions();
    requests.push_back(SignWith(h, MakeRequest(work, "several" + std::to_string(i), order), work));
    serials.push_back(h.serial);
  }
  StartServer();
  std::vector<Reply> replies(kHolders);
  std::vector<std::thread> clients;
  for (int i = 0; i < kHolders; i++)
    clients.emplace_back([&, i] { replies[i] = Exchange(server.port(), requests[i]); });
  for (std::thread &t : clients) t.join();

  std::set<std::string> issued;
  for (int i = 0; i < kHolders; i++) {
    X509Ptr cert = CertFromBytes(replies[i].bytes);
    ASSERT_TRUE(cert) << "holder " << i;
    std::string serial = SerialHex(X509_get0_serialNumber(cert.get()));
    issued.insert(serial);
    std::string ledger;
    Shell(Quote(Testca()) + " ledger " + Quote(ca) + " " + serials[i], &ledger);
    EXPECT_EQ(ledger, serials[i] + " used " + serial + "\n");
  }
  EXPECT_EQ(issued.size(), static_cast<size_t>(kHolders));  // every certificate its own serial
}

// Faults change only what is answered; the checks run as always.
TEST_F(RenewalServer, PaymentFaults) {
  Bytes request = PaymentRequest();
  struct Case {
    std::vector<std::string> faults;
    Bytes expected;
    bool reset;
  } cases[] = {
      {{"not-paid:pay"}, kNotPaidReply, false},
      {{"short:5"}, Bytes(kPaidReply.begin(), kPaidReply.begin() + 5), false},
      {{"close:pay"}, {}, false},
      {{"reset"}, {}, true},
      {{"pieces"}, kPaidReply, false},
      {{"cert-128"}, kPaidReply, false},  // a certificate fault leaves payments alone
      {{"garbage:cert"}, kPaidReply, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.faults[0]);
    ServerProcess faulty;
    std::vector<std::string> args;
    for (const std::string &f : c.faults) args.insert(args.end(), {"--fault", f});
    ASSERT_TRUE(faulty.Start(ca, args));
    Reply reply = Exchange(faulty.port(), request);
    EXPECT_EQ(reply.bytes, c.expected);
    EXPECT_EQ(reply.reset, c.reset);
    EXPECT_EQ(faulty.Stop(), 0);
  }
  ServerProcess garbage;
  ASSERT_TRUE(garbage.Start(ca, {"--fault", "garbage:pay"}));
  Bytes reply = Exchange(garbage.port(), request).bytes;
  ASSERT_EQ(reply.size(), 200u);
  EXPECT_NE(Bytes(reply.begin() + 5, reply.begin() + 8), Bytes({0x00, 0x03, 0x01}));
  EXPECT_FALSE(CertFromBytes(reply));
  EXPECT_EQ(garbage.Stop(), 0);  // the journal is complete once the server has ended
  std::string line = JournalLines(ca).back();
  EXPECT_TRUE(Has(line, "\tfault=garbage:pay\tanswered=200")) << line;
}

TEST_F(RenewalServer, CertificateFaults) {
  std::string requestPath;
  Bytes request = CertificateRequest(GoodOrder(), &requestPath);
  X509ReqPtr req = ReadReq(requestPath);
  X509Ptr caCert = ReadCert(ca + "/ca.pem");
  long elapsedMs = 0;
  auto run = [&](const std::vector<std::string> &args) {
    ServerProcess faulty;
    EXPECT_TRUE(faulty.Start(ca, args));
    auto start = std::chrono::steady_clock::now();
    Reply reply = Exchange(faulty.port(), request);
    elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(faulty.Stop(), 0);
    return reply;
  };

  Reply reply = run({"--fault", "garbage"});
  EXPECT_EQ(reply.bytes.size(), 200u);
  EXPECT_FALSE(CertFromBytes(reply.bytes));

  reply = run({"--fault", "not-paid"});
  EXPECT_TRUE(reply.bytes.empty());

  reply = run({"--fault", "other-key"});
  X509Ptr other = CertFromBytes(reply.bytes);
  ASSERT_TRUE(other);
  EXPECT_EQ(X509_verify(other.get(), X509_get0_pubkey(caCert.get())), 1);
  EXPECT_NE(EVP_PKEY_eq(X509_get0_pubkey(other.get()), X509_REQ_get0_pubkey(req.get())), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(other.get()), X509_REQ_get_subject_name(req.get())), 0);

  // Forged: a certificate for the request's key under the centre's name and
  // authority key identifier, signed by a key that is not the centre's.
  reply = run({"--fault", "forged:cert"});
  X509Ptr forged = CertFromBytes(reply.bytes);
  ASSERT_TRUE(forged);
  EXPECT_NE(X509_verify(forged.get(), X509_get0_pubkey(caCert.get())), 1);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(forged.get()), X509_REQ_get0_pubkey(req.get())), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(forged.get()), X509_get_subject_name(caCert.get())), 0);
  EXPECT_EQ(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(forged.get()), X509_get0_subject_key_id(caCert.get())),
            0);
  EXPECT_EQ(X509_get_signature_nid(forged.get()), X509_get_signature_nid(caCert.get()));
  std::string forgedLine = JournalLines(ca).back();
  EXPECT_TRUE(Has(forgedLine, "\tfault=forged:cert\t")) << forgedLine;
  EXPECT_TRUE(Has(forgedLine, "\tissued-serial=" + SerialHex(X509_get0_serialNumber(forged.get())) + "\t"))
      << forgedLine;

  // None of the above delivered the true certificate: the payment still stands.
  EXPECT_EQ(Ledger(), holder.serial + " paid\n");

  reply = run({"--fault", "pieces", "--fault", "slow:0.5"});
  X509Ptr cert = CertFromBytes(reply.bytes);
  ASSERT_TRUE(cert);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);
  // 0.5 s before the answer, then a 20 ms pause between 50-byte pieces.
  int pauses = static_cast<int>((reply.bytes.size() + 49) / 50) - 1;
  EXPECT_GE(elapsedMs, 500 + pauses * 20);
  EXPECT_GT(reply.reads, 1);
  std::string line = JournalLines(ca).back();
  EXPECT_TRUE(Has(line, "\tfault=pieces,slow:0.5\t")) << line;
  EXPECT_EQ(Ledger(), holder.serial + " used " + SerialHex(X509_get0_serialNumber(cert.get())) + "\n");

  // An answer lost on the way: the certificate was issued and the payment
  // used, and the whole certificate is in issued/.
  struct Lost {
    const char *fault;
    size_t bytes;
    bool reset;
  } lost[] = {{"close:cert", 0, false}, {"reset:cert", 0, true},   {"cut:300:cert", 300, false},
              {"cut:1:cert", 1, false},   {"cert-128", 128, false}, {"short:7:cert", 7, false}};
  for (const Lost &l : lost) {
    SCOPED_TRACE(l.fault);
    Shell(Quote(Testca()) + " pay " + Quote(ca) + " " + holder.serial);
    reply = run({"--fault", l.fault});
    EXPECT_EQ(reply.bytes.size(), l.bytes);
    EXPECT_EQ(reply.reset, l.reset);
    std::string line = JournalLines(ca).back();
    size_t at = line.find("\tissued-serial=");
    ASSERT_NE(at, std::string::npos) << line;
    std::string issuedSerial = line.substr(at + 15, line.find('\t', at + 1) - at - 15);
    EXPECT_EQ(Ledger(), holder.serial + " used " + issuedSerial + "\n");
    X509Ptr issued = ReadCert(ca + "/issued/" + issuedSerial + ".der");
    ASSERT_TRUE(issued);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(issued.get()), X509_REQ_get0_pubkey(req.get())), 1);
    Bytes der = CertDer(issued.get());
    EXPECT_TRUE(std::equal(reply.bytes.begin(), reply.bytes.end(), der.begin()));
  }

  // The whole certificate with line breaks after it: delivered.
  Shell(Quote(Testca()) + " pay " + Quote(ca) + " " + holder.serial);
  reply = run({"--fault", "trail:3:cert"});
  const unsigned char *p = reply.bytes.data();
  cert.reset(d2i_X509(nullptr, &p, static_cast<long>(reply.bytes.size())));
  ASSERT_TRUE(cert);
  EXPECT_EQ(Bytes(reply.bytes.begin() + (p - reply.bytes.data()), reply.bytes.end()), Bytes({'\r', '\n', '\r'}));
  EXPECT_EQ(Ledger(), holder.serial + " used " + SerialHex(X509_get0_serialNumber(cert.get())) + "\n");
}

}  // namespace

namespace {

// Sends the request and reads `want` bytes of a reply that would never end,
// then closes.
Bytes ReadPartOfFlood(int port, const Bytes &request, size_t want) {
  Bytes got;
  int fd = Connect(port);
  if (fd < 0) return got;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return got;
  }
  unsigned char buf[65536];
  while (got.size() < want) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  close(fd);
  return got;
}

TEST_F(RenewalServer, FloodSendsTheTrueReplyThenMoreUntilTheClientCloses) {
  const size_t want = 3 * 1024 * 1024;
  std::string requestPath;
  Bytes certificateRequest = CertificateRequest(GoodOrder(), &requestPath);
  StartServer({"--fault", "flood"});

  Bytes payment = ReadPartOfFlood(server.port(), PaymentRequest(), want);
  ASSERT_GE(payment.size(), want) << "the flood ended";
  EXPECT_EQ(Bytes(payment.begin(), payment.begin() + 8), kPaidReply);

  Bytes certificate = ReadPartOfFlood(server.port(), certificateRequest, want);
  ASSERT_GE(certificate.size(), want) << "the flood ended";
  const unsigned char *p = certificate.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
  ASSERT_TRUE(cert) << "the flood does not start with the certificate";
  X509ReqPtr req = ReadReq(requestPath);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(cert.get()), X509_REQ_get0_pubkey(req.get())), 1);

  // The server goes on serving, and the certificate, sent whole before the
  // flood, uses the payment up.
  EXPECT_EQ(server.Stop(), 0);
  std::vector<std::string> lines = JournalLines(ca);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string &line : lines) {
    EXPECT_TRUE(Has(line, "\tfault=flood\t")) << line;
    size_t at = line.find("\tanswered=");
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_GE(std::stoull(line.substr(at + 10)), want) << line;
  }
  EXPECT_EQ(Ledger(), holder.serial + " used " + SerialHex(X509_get0_serialNumber(cert.get())) + "\n");
}

TEST_F(RenewalServer, IssuedValidityFollowsNotAfter) {
  StartServer({"--not-after", "+20d"});
  Reply reply = Exchange(server.port(), CertificateRequest(GoodOrder()));
  X509Ptr cert = CertFromBytes(reply.bytes);
  ASSERT_TRUE(cert);
  time_t notBefore = TimeOf(X509_get0_notBefore(cert.get()));
  EXPECT_EQ(TimeOf(X509_get0_notAfter(cert.get())), notBefore + 20 * 24 * 3600);
}

}  // namespace
