#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include <openssl/err.h>

#include "ca_dir.h"
#include "http.h"
#include "issue.h"
#include "names.h"
#include "request_checks.h"

namespace {

const unsigned char kPaymentRequest[] = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x01};
const unsigned char kPaymentReplyHead[] = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x03};
const char kGarbageText[] = "not a certificate\n";
const char kTrailText[] = "\r\n";
const size_t kGarbageLength = 200;
const size_t kPieceLength = 50;
const int kPieceGapMs = 20;
const int kStopWaitMs = 5000;
const size_t kFloodChunk = 64 * 1024;

int stopPipe[2] = {-1, -1};
std::atomic<bool> stopping{false};

void OnStopSignal(int) {
  char c = 0;
  ssize_t ignored = write(stopPipe[1], &c, 1);
  (void)ignored;
}

// What the journal line of one connection says; unset fields are left out.
struct Exchange {
  unsigned conn = 0;
  std::string kind;
  size_t received = 0;
  std::optional<std::string> signerSerial, signerSubject, requestSubject, checks, reason, paid, fault,
      issuedSerial;
  size_t answered = 0;

  void Fail(const std::string &why) {
    checks = "failed";
    reason = why;
  }
};

struct Server {
  Ca ca;
  Ca forger;  // with --forger: the centre whose key signs the forged answer
  ServeOptions options;
  X509StorePtr store;
  int journalFd = -1;
  std::mutex journalMutex;
  std::atomic<int> active{0};
};

std::string Clean(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return out;
}

void WriteJournal(Server &s, const Exchange &ex) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &t);
  std::string line = stamp;
  auto field = [&](const char *key, const std::optional<std::string> &value) {
    if (value) line += std::string("\t") + key + "=" + Clean(*value);
  };
  field("conn", std::to_string(ex.conn));
  field("kind", ex.kind);
  field("received", std::to_string(ex.received));
  field("signer-serial", ex.signerSerial);
  field("signer-subject", ex.signerSubject);
  field("request-subject", ex.requestSubject);
  field("checks", ex.checks);
  field("reason", ex.reason);
  field("paid", ex.paid);
  field("fault", ex.fault);
  field("issued-serial", ex.issuedSerial);
  field("answered", std::to_string(ex.answered));
  line += "\n";
  std::lock_guard<std::mutex> lock(s.journalMutex);
  // One write per line on an O_APPEND file: lines never interleave.
  ssize_t ignored = write(s.journalFd, line.data(), line.size());
  (void)ignored;
}

enum class ReadEnd { Complete, Malformed, Oversized, Truncated };

ReadEnd ReadRequest(int fd, int timeoutMs, Bytes &request, std::string &why) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t total = 0;
  unsigned char chunk[65536];
  for (;;) {
    Frame frame = MeasureRequest(request.data(), request.size(), total);
    if (frame == Frame::Malformed) {
      why = "not a DER SEQUENCE with a definite length";
      return ReadEnd::Malformed;
    }
    if (frame == Frame::Oversized) {
      why = "declared length is over " + std::to_string(kMaxRequest) + " bytes";
      return ReadEnd::Oversized;
    }
    if (frame == Frame::Complete) {
      request.resize(total);
      return ReadEnd::Complete;
    }
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) {
      why = "request incomplete after " + std::to_string(timeoutMs) + " ms";
      return ReadEnd::Truncated;
    }
    size_t want = sizeof chunk;
    if (total > request.size() && total - request.size() < want) want = total - request.size();
    ssize_t n = recv(fd, chunk, want, 0);
    if (n <= 0) {
      why = n == 0 ? "connection ended before the request's end" : "connection failed before the request's end";
      return ReadEnd::Truncated;
    }
    request.insert(request.end(), chunk, chunk + n);
  }
}

bool SendAll(int fd, const unsigned char *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Reset(int fd) {
  struct linger l = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Sends the reply as the fault asks and records what went out. Returns false
// when the connection is to be reset rather than closed.
bool Answer(int fd, const Bytes &reply, const Fault &fault, Exchange &ex) {
  if (fault.slowSeconds > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(fault.slowSeconds * 1000)));
  if (fault.mode == FaultMode::Reset) return false;
  if (fault.mode == FaultMode::Close) return true;
  if (fault.mode == FaultMode::Pieces) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    size_t piece = reply.size() <= 8 ? 1 : kPieceLength;
    for (size_t at = 0; at < reply.size(); at += piece) {
      if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kPieceGapMs));
      size_t n = std::min(piece, reply.size() - at);
      if (!SendAll(fd, reply.data() + at, n)) return true;
      ex.answered += n;
    }
    return true;
  }
  if (!SendAll(fd, reply.data(), reply.size())) return true;
  ex.answered = reply.size();
  if (fault.mode == FaultMode::Flood) {
    // The true reply, then more without end: only the client's closing the
    // connection stops it.
    Bytes more(kFloodChunk);
    for (size_t i = 0; i < more.size(); i++) more[i] = kGarbageText[i % (sizeof kGarbageText - 1)];
    while (SendAll(fd, more.data(), more.size())) ex.answered += more.size();
  }
  if (fault.mode == FaultMode::Trail) {
    // The true reply, then line breaks, as a centre or a proxy that ends its
    // answer with one.
    Bytes more(static_cast<size_t>(fault.trailLength));
    for (size_t i = 0; i < more.size(); i++) more[i] = kTrailText[i % (sizeof kTrailText - 1)];
    if (SendAll(fd, more.data(), more.size())) ex.answered += more.size();
  }
  return true;
}

Bytes GarbageReply() {
  Bytes bytes;
  while (bytes.size() < kGarbageLength) bytes.push_back(kGarbageText[bytes.size() % (sizeof kGarbageText - 1)]);
  return bytes;
}

// Whoever answers in the centre's place: the centre's name and certificate
// (so the authority key identifier names the centre's key too, as a forger
// would copy it), but a fresh key of the centre's kind and parameter set.
// With --forger, the forger's own centre instead: its key and certificate,
// whose caIssuers URL leads to what the forger publishes.
bool MakeForger(const Server &s, Ca &forger, std::string &error) {
  const Ca &ca = s.ca;
  if (s.forger.key) {
    forger.dir = ca.dir;
    forger.httpPort = s.forger.httpPort;
    EVP_PKEY_up_ref(s.forger.key.get());
    forger.key.reset(s.forger.key.get());
    X509_up_ref(s.forger.cert.get());
    forger.cert.reset(s.forger.cert.get());
    return true;
  }
  forger.dir = ca.dir;
  forger.httpPort = ca.httpPort;
  forger.key = NewKeyLike(ca.key.get());
  X509_up_ref(ca.cert.get());
  forger.cert.reset(ca.cert.get());
  if (!forger.key) error = "no fresh key: " + OsslErrors();
  return forger.key != nullptr;
}

// issuer: the centre itself, or a forger that bears its name.
X509Ptr IssueRenewal(Server &s, const Ca &issuer, X509_REQ *request, EVP_PKEY *key, const BIGNUM *serial,
                     const std::vector<X509ExtPtr> &extensions, std::string &error) {
  time_t now = time(nullptr);
  CertOrder order;
  order.subject = X509_REQ_get_subject_name(request);
  order.publicKey = key;
  order.serial = serial;
  order.notBefore = now;
  order.notAfter = AddMonths(now, 13);
  if (!s.options.notAfter.empty()) ParseTimeArg(s.options.notAfter, now, order.notAfter);
  for (const X509ExtPtr &ext : extensions) order.extensions.push_back({"", "", ext.get()});
  order.extensions.push_back({"subjectKeyIdentifier", "hash"});
  order.extensions.push_back({"authorityKeyIdentifier", "keyid:always"});
  order.extensions.push_back(CaIssuersOf(issuer, s.options.issuerUrls));
  X509Ptr cert = IssueCertificate(issuer, order, error);
  if (cert && !SaveIssued(s.ca.dir, cert.get(), error)) return nullptr;
  return cert;
}

// The certificate exchange once the signature and the signer are good.
// Returns the reply (empty: close without an answer).
// requestDer: the request as received, kept beside the certificate issued for it.
Bytes CertificateReply(Server &s, X509_REQ *request, const Bytes &requestDer, X509 *signer, const Fault &fault,
                       Exchange &ex) {
  ex.requestSubject = SubjectText(X509_REQ_get_subject_name(request));
  Payment payment = PaymentOf(s.ca.dir, *ex.signerSerial);
  if (payment != Payment::Paid) {
    ex.Fail(payment == Payment::Used ? "payment already used" : "renewal not paid");
    return {};
  }
  if (fault.mode == FaultMode::NotPaid) {
    ex.Fail("renewal not paid (fault)");
    return {};
  }
  std::vector<X509ExtPtr> extensions;
  std::string reason;
  if (!CheckRenewalRequest(request, signer, extensions, reason)) {
    ex.Fail(reason);
    return {};
  }
  ex.checks = "passed";
  if (fault.mode == FaultMode::Garbage) return GarbageReply();

  std::string error;
  BnPtr serial = TakeSerial(s.ca.dir, error);
  if (!serial) {
    ex.Fail(error);
    return {};
  }
  std::string serialHex = SerialHex(serial.get());
  // The true certificate uses the payment up once it is sent whole (also
  // with more bytes after it), and also when it is lost on the way after the
  // centre sent it: the connection closed or reset before it went out, or
  // cut off part way, however short.
  bool delivers = fault.mode == FaultMode::None || fault.mode == FaultMode::Pieces ||
                  fault.mode == FaultMode::Flood || fault.mode == FaultMode::Trail ||
                  fault.mode == FaultMode::Close || fault.mode == FaultMode::Reset ||
                  fault.mode == FaultMode::Cut || fault.mode == FaultMode::Cert128 || fault.mode == FaultMode::Short;
  if (delivers && !UsePayment(s.ca.dir, *ex.signerSerial, serialHex)) {
    ex.Fail("payment used by another request meanwhile");
    return {};
  }
  PkeyPtr otherKey;
  if (fault.mode == FaultMode::OtherKey) otherKey = NewKeyLike(X509_REQ_get0_pubkey(request));
  EVP_PKEY *key = otherKey ? otherKey.get() : X509_REQ_get0_pubkey(request);
  Ca forger;
  if (fault.mode == FaultMode::Forged && !MakeForger(s, forger, error)) {
    ex.Fail("cannot forge: " + error);
    return {};
  }
  const Ca &issuer = fault.mode == FaultMode::Forged ? forger : s.ca;
  X509Ptr cert = IssueRenewal(s, issuer, request, key, serial.get(), extensions, error);
  if (cert && !SaveRequest(s.ca.dir, cert.get(), requestDer, error)) cert.reset();
  if (!cert) {
    if (delivers) SetPayment(s.ca.dir, *ex.signerSerial, Payment::Paid, "", error);
    ex.Fail("cannot issue: " + error);
    return {};
  }
  ex.issuedSerial = serialHex;
  Bytes der = CertDer(cert.get());
  if (fault.mode == FaultMode::Short) der.resize(static_cast<size_t>(fault.shortLength));
  if (fault.mode == FaultMode::Cert128) der.resize(128);
  // Always short of the end, however long the certificate.
  if (fault.mode == FaultMode::Cut) der.resize(std::min(static_cast<size_t>(fault.cutLength), der.size() - 1));
  return der;
}

Bytes PaymentReply(Server &s, const Fault &fault, Exchange &ex) {
  bool paid = fault.mode != FaultMode::NotPaid && PaymentOf(s.ca.dir, *ex.signerSerial) == Payment::Paid;
  ex.checks = "passed";
  ex.paid = paid ? "yes" : "no";
  if (fault.mode == FaultMode::Garbage) return GarbageReply();
  Bytes reply(std::begin(kPaymentReplyHead), std::end(kPaymentReplyHead));
  reply.push_back(paid ? 0x01 : 0x00);
  if (fault.mode == FaultMode::Short) reply.resize(static_cast<size_t>(fault.shortLength));
  return reply;
}

// A signed request read whole: which exchange it is, who signed it, and the
// answer. Returns false when the connection is to be reset.
bool AnswerSignedRequest(Server &s, int fd, const Bytes &bytes, Exchange &ex) {
  const unsigned char *p = bytes.data();
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(bytes.size())));
  if (!cms || p != bytes.data() + bytes.size() || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    ex.kind = "malformed";
    ex.reason = "not a CMS SignedData: " + OsslErrors();
    return true;
  }
  ASN1_OCTET_STRING **content = CMS_get0_content(cms.get());
  if (!content || !*content) {
    ex.kind = "malformed";
    ex.reason = "SignedData carries no content";
    return true;
  }
  Bytes data(ASN1_STRING_get0_data(*content), ASN1_STRING_get0_data(*content) + ASN1_STRING_length(*content));
  X509ReqPtr request;
  if (data == Bytes(std::begin(kPaymentRequest), std::end(kPaymentRequest))) {
    ex.kind = "payment";
  } else {
    const unsigned char *q = data.data();
    request.reset(d2i_X509_REQ(nullptr, &q, static_cast<long>(data.size())));
    if (!request || q != data.data() + data.size()) {
      ex.kind = "malformed";
      ex.reason = "content is neither the payment request nor a certificate request";
      ERR_clear_error();
      return true;
    }
    ex.kind = "certificate";
  }
  bool certificateExchange = ex.kind == "certificate";
  Fault fault = FaultFor(s.options.faults, certificateExchange);
  if (!fault.text.empty()) ex.fault = fault.text;

  STACK_OF(CMS_SignerInfo) *signers = CMS_get0_SignerInfos(cms.get());
  X509 *signer = nullptr;
  CMS_set1_signers_certs(cms.get(), nullptr, 0);
  ERR_clear_error();
  if (sk_CMS_SignerInfo_num(signers) == 1)
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signers, 0), nullptr, &signer, nullptr, nullptr);
  if (signer) {
    ex.signerSerial = SerialHex(X509_get0_serialNumber(signer));
    ex.signerSubject = SubjectText(X509_get_subject_name(signer));
  }
  if (sk_CMS_SignerInfo_num(signers) != 1) {
    ex.Fail(std::to_string(sk_CMS_SignerInfo_num(signers)) + " signers instead of one");
    return true;
  }
  if (!signer) {
    ex.Fail("the signer's certificate is not in the message");
    return true;
  }
  BioPtr out(BIO_new(BIO_s_mem()));
  if (CMS_verify(cms.get(), nullptr, s.store.get(), nullptr, out.get(), CMS_BINARY) != 1) {
    ex.Fail("signature or signer's certificate does not verify: " + OsslErrors());
    return true;
  }
  bool centresOwn = X509_cmp(signer, s.ca.cert.get()) == 0;
  for (const X509Ptr &earlier : s.ca.earlier) centresOwn = centresOwn || X509_cmp(signer, earlier.get()) == 0;
  if (centresOwn) {
    ex.Fail("signed with the CA's own certificate, not a holder's");
    return true;
  }
  Bytes reply = certificateExchange ? CertificateReply(s, request.get(), data, signer, fault, ex)
                                    : PaymentReply(s, fault, ex);
  if (ex.checks != std::string("passed")) return true;
  return Answer(fd, reply, fault, ex);
}

void CloseConnection(int fd, bool reset) {
  if (reset) {
    Reset(fd);
  } else {
    shutdown(fd, SHUT_WR);
    // Bytes the client sent beyond its request would turn close into a
    // reset that can discard the reply on the client's side: drop them first.
    unsigned char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }
  close(fd);
}

void ServeConnection(Server &s, int fd, unsigned conn) {
  Exchange ex;
  ex.conn = conn;
  Bytes request;
  std::string why;
  bool reset = false;
  ReadEnd end = ReadRequest(fd, s.options.readTimeoutMs, request, why);
  ex.received = request.size();
  switch (end) {
    case ReadEnd::Malformed: ex.kind = "malformed"; ex.reason = why; break;
    case ReadEnd::Oversized: ex.kind = "oversized"; ex.reason = why; break;
    case ReadEnd::Truncated: ex.kind = "truncated"; ex.reason = why; break;
    case ReadEnd::Complete: reset = !AnswerSignedRequest(s, fd, request, ex); break;
  }
  ERR_clear_error();
  CloseConnection(fd, reset);
  WriteJournal(s, ex);
  s.active--;
}

void ServeHttp(const HttpSite &site, int fd, std::atomic<int> &active) {
  ServeHttpConnection(site, fd);
  active--;
}

int Listen(int port, int &actualPort, std::string &error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  actualPort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

Frame MeasureRequest(const unsigned char *data, size_t have, size_t &total) {
  if (have < 2) return have == 1 && data[0] != 0x30 ? Frame::Malformed : Frame::NeedMore;
  if (data[0] != 0x30 || data[1] == 0x80 || data[1] == 0xFF) return Frame::Malformed;
  size_t header = 2, length = data[1];
  if (data[1] & 0x80) {
    size_t count = data[1] & 0x7F;
    if (count > 4) return Frame::Oversized;  // a length of 2^32 bytes or more
    if (have < 2 + count) return Frame::NeedMore;
    if (data[2] == 0) return Frame::Malformed;  // DER never pads a length
    length = 0;
    for (size_t i = 0; i < count; i++) length = (length << 8) | data[2 + i];
    if (length < 0x80) return Frame::Malformed;
    header += count;
  }
  total = header + length;
  if (total > kMaxRequest) return Frame::Oversized;
  return have >= total ? Frame::Complete : Frame::NeedMore;
}

int Serve(const std::string &dir, const ServeOptions &options) {
  Server s;
  s.options = options;
  std::string error;
  if (!LoadCa(dir, s.ca, error) || (!options.forgerDir.empty() && !LoadCa(options.forgerDir, s.forger, error))) {
    fprintf(stderr, "testca: %s\n", error.c_str());
    return 1;
  }
  s.store.reset(X509_STORE_new());
  // Holders certified before a rekey still sign with certificates of the
  // earlier keys: the chain is found by the authority key identifier.
  X509_STORE_add_cert(s.store.get(), s.ca.cert.get());
  for (const X509Ptr &earlier : s.ca.earlier) X509_STORE_add_cert(s.store.get(), earlier.get());
  // Holder certificates need no S/MIME purpose; what counts is the issuer.
  X509_STORE_set_purpose(s.store.get(), X509_PURPOSE_ANY);
  // The centre's certificates are the anchors: its head certifies other
  // centres too, whose holders are not this centre's.
  X509_STORE_set_flags(s.store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  if (options.ignoreValidity) X509_STORE_set_flags(s.store.get(), X509_V_FLAG_NO_CHECK_TIME);
  s.journalFd = open(CaPath(dir, "journal.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (s.journalFd < 0) {
    fprintf(stderr, "testca: cannot open the journal in %s\n", dir.c_str());
    return 1;
  }

  if (pipe2(stopPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  HttpSite site;
  site.fault = options.httpFault;
  site.pkcs7Bytes = options.httpPkcs7Bytes;
  site.stopping = &stopping;
  Publish(site, PublishedCertificates(dir));
  site.logFd = open(CaPath(dir, "http.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int httpPort = 0, httpListener = -1;
  if (options.httpFault != HttpFault::Off) {
    httpListener = Listen(options.httpPort >= 0 ? options.httpPort : s.ca.httpPort, httpPort, error);
    if (httpListener < 0) {
      fprintf(stderr, "testca: %s\n", error.c_str());
      return 1;
    }
  }
  int port = 0;
  int listener = Listen(options.port, port, error);
  if (listener < 0) {
    fprintf(stderr, "testca: %s\n", error.c_str());
    return 1;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  WriteFileAtomic(CaPath(dir, "serve.pid"), pid.data(), pid.size());
  if (httpListener >= 0) printf("certificates on http://127.0.0.1:%d\n", httpPort);
  printf("listening on 127.0.0.1:%d\n", port);
  fflush(stdout);

  std::atomic<int> held{0};
  unsigned conn = 0;
  for (;;) {
    struct pollfd p[3] = {{listener, POLLIN, 0}, {stopPipe[0], POLLIN, 0}, {httpListener, POLLIN, 0}};
    if (poll(p, httpListener >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents) break;
    if (httpListener >= 0 && (p[2].revents & POLLIN)) {
      int fd = accept4(httpListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        // A held connection is not waited for like an exchange: it ends
        // as soon as the server stops.
        std::atomic<int> &count = site.fault == HttpFault::Hang || site.fault == HttpFault::Trickle ? held : s.active;
        count++;
        std::thread(ServeHttp, std::cref(site), fd, std::ref(count)).detach();
      }
    }
    if (!(p[0].revents & POLLIN)) continue;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    s.active++;
    std::thread(ServeConnection, std::ref(s), fd, ++conn).detach();
  }
  close(listener);
  if (httpListener >= 0) close(httpListener);
  stopping = true;
  for (int waited = 0; held > 0 && waited < kStopWaitMs; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Connections under way get a moment to finish; a slow fault may outlast it.
  for (int waited = 0; s.active > 0 && waited < kStopWaitMs; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  unlink(CaPath(dir, "serve.pid").c_str());
  fflush(stdout);
  // Threads still running use s: leave without destroying it.
  if (s.active > 0) _exit(0);
  return 0;
}
