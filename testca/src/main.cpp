// testca: a GOST certification centre for Kestrava's tests and demo.
// See README.md for the commands, the CA folder and the journal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <openssl/pem.h>

#include "ca_dir.h"
#include "issue.h"
#include "names.h"
#include "ossl.h"
#include "server.h"

namespace {

const char kUsage[] =
    "usage: testca init DIR [--kind 2001|2012-256|2012-512] [--paramset NAME] [--http-port N]\n"
    "       testca mint DIR --out CERT.der (--csr REQ | --key-out KEY.pem [--kind KIND] [--paramset NAME]\n"
    "                  | --like CERT)\n"
    "                  [--rdn RDN]...\n"
    "                  [--csr-subject] [--not-before T] [--not-after T] [--serial HEX]\n"
    "                  [--ext NAME=VALUE]... [--no-default-ext]\n"
    "       testca rekey DIR [--kind 2001|2012-256|2012-512]\n"
    "       testca pay DIR SERIALHEX | testca unpay DIR SERIALHEX | testca ledger DIR [SERIALHEX]\n"
    "       testca serve DIR [--port N] [--fault MODE[:pay|:cert]]... [--read-timeout SECONDS]\n"
    "                  [--ignore-validity] [--not-after T]\n"
    "                  [--http-port N] [--http-fault 404|hang|trickle|pkcs7:N|off]\n"
    "                  [--issuer-urls N] [--forger DIR]\n";

int Usage(const std::string &why) {
  if (!why.empty()) fprintf(stderr, "testca: %s\n", why.c_str());
  fputs(kUsage, stderr);
  return 2;
}

int Fail(const std::string &why) {
  fprintf(stderr, "testca: %s\n", why.c_str());
  return 1;
}

// Walks the options after DIR; value() takes the argument of the current option.
struct Args {
  std::vector<std::string> list;
  size_t at = 0;
  bool more() const { return at < list.size(); }
  std::string next() { return list[at++]; }
  bool value(std::string &out) {
    if (!more()) return false;
    out = next();
    return true;
  }
};

X509Ptr ReadCertFile(const std::string &path, std::string &error) {
  Bytes data;
  X509Ptr cert;
  if (ReadFile(path, data)) {
    const unsigned char *p = data.data();
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
    if (!cert) {
      BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
      cert.reset(PEM_read_bio_X509(mem.get(), nullptr, nullptr, nullptr));
    }
  }
  if (!cert) error = path + " is not a certificate (DER or PEM): " + OsslErrors();
  return cert;
}

// The extensions of a certificate that says who its subject is, without
// those that name its issuer or its key (issuing makes them anew).
void CopySubjectExtensions(X509 *cert, std::vector<ExtItem> &extensions) {
  for (int i = 0; i < X509_get_ext_count(cert); i++) {
    X509_EXTENSION *ext = X509_get_ext(cert, i);
    int nid = OBJ_obj2nid(X509_EXTENSION_get_object(ext));
    if (nid != NID_subject_key_identifier && nid != NID_authority_key_identifier && nid != NID_info_access)
      extensions.push_back({"", "", ext});
  }
}

X509ReqPtr ReadRequestFile(const std::string &path, std::string &error) {
  Bytes data;
  if (!ReadFile(path, data)) {
    error = "cannot read " + path;
    return nullptr;
  }
  const unsigned char *p = data.data();
  X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(data.size())));
  if (!req) {
    BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    req.reset(PEM_read_bio_X509_REQ(mem.get(), nullptr, nullptr, nullptr));
  }
  if (!req) error = path + " is not a certificate request (DER or PEM): " + OsslErrors();
  return req;
}

int Mint(const std::string &dir, Args &args) {
  std::string out, csrPath, keyOut, likePath, serialText, notBeforeText = "+0s", notAfterText = "+365d";
  std::string kindText, paramset;
  std::vector<std::string> rdns, exts;
  bool csrSubject = false, defaultExts = true;
  while (args.more()) {
    std::string opt = args.next(), v;
    if (opt == "--csr-subject") csrSubject = true;
    else if (opt == "--no-default-ext") defaultExts = false;
    else if (!args.value(v)) return Usage(opt + " needs a value");
    else if (opt == "--out") out = v;
    else if (opt == "--csr") csrPath = v;
    else if (opt == "--key-out") keyOut = v;
    else if (opt == "--like") likePath = v;
    else if (opt == "--rdn") rdns.push_back(v);
    else if (opt == "--not-before") notBeforeText = v;
    else if (opt == "--not-after") notAfterText = v;
    else if (opt == "--serial") serialText = v;
    else if (opt == "--ext") exts.push_back(v);
    else if (opt == "--kind") kindText = v;
    else if (opt == "--paramset") paramset = v;
    else return Usage("unknown option " + opt);
  }
  KeyKind kind = KeyKind::R2001;
  if (!kindText.empty() && !ParseKeyKind(kindText, kind)) return Usage("--kind is 2001, 2012-256 or 2012-512");
  if ((!kindText.empty() || !paramset.empty()) && keyOut.empty())
    return Usage("--kind and --paramset go with --key-out");
  if (paramset.empty()) paramset = "A";
  if (out.empty()) return Usage("mint needs --out");
  if (csrPath.empty() + keyOut.empty() + likePath.empty() != 2)
    return Usage("mint needs one of --csr, --key-out and --like");
  if (!likePath.empty() && (!rdns.empty() || !defaultExts)) return Usage("--like takes no --rdn or --no-default-ext");
  if (csrSubject && (csrPath.empty() || !rdns.empty())) return Usage("--csr-subject goes with --csr and no --rdn");

  std::string error;
  Ca ca;
  if (!LoadCa(dir, ca, error)) return Fail(error);

  time_t now = time(nullptr), notBefore, notAfter;
  if (!ParseTimeArg(notBeforeText, now, notBefore)) return Usage("bad time " + notBeforeText);
  if (!ParseTimeArg(notAfterText, now, notAfter)) return Usage("bad time " + notAfterText);

  X509NamePtr subject(X509_NAME_new());
  for (const std::string &rdn : rdns)
    if (!AppendRdn(subject.get(), rdn, error)) return Usage("--rdn: " + error);

  X509ReqPtr request;
  X509Ptr like;
  PkeyPtr key;
  EVP_PKEY *publicKey = nullptr;
  if (!likePath.empty()) {
    like = ReadCertFile(likePath, error);
    if (!like) return Fail(error);
    publicKey = X509_get0_pubkey(like.get());
    subject.reset(X509_NAME_dup(X509_get_subject_name(like.get())));
  } else if (!csrPath.empty()) {
    request = ReadRequestFile(csrPath, error);
    if (!request) return Fail(error);
    publicKey = X509_REQ_get0_pubkey(request.get());
    if (!publicKey || X509_REQ_verify(request.get(), publicKey) != 1)
      return Fail("the signature of " + csrPath + " does not verify: " + OsslErrors());
    if (csrSubject) subject.reset(X509_NAME_dup(X509_REQ_get_subject_name(request.get())));
  } else {
    key = NewGostKey(kind, paramset);
    if (!key) return Fail("cannot make a key on the parameter set " + paramset + ": " + OsslErrors());
    publicKey = key.get();
  }

  BnPtr serial;
  if (!serialText.empty()) {
    serial = ParseSerial(serialText);
    if (!serial) return Usage("--serial must be 1 to 20 bytes of hex, not zero: " + serialText);
  } else {
    serial = TakeSerial(dir, error);
    if (!serial) return Fail(error);
  }

  CertOrder order;
  order.subject = subject.get();
  order.publicKey = publicKey;
  order.serial = serial.get();
  order.notBefore = notBefore;
  order.notAfter = notAfter;
  if (like) {
    CopySubjectExtensions(like.get(), order.extensions);
    order.extensions.insert(order.extensions.end(), {{"subjectKeyIdentifier", "hash"},
                                                     {"authorityKeyIdentifier", "keyid:always"},
                                                     CaIssuersOf(ca)});
  } else if (defaultExts) {
    order.extensions = {{"basicConstraints", "CA:FALSE"},
                       {"keyUsage", "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment"},
                       {"subjectKeyIdentifier", "hash"},
                       {"authorityKeyIdentifier", "keyid:always"},
                       CaIssuersOf(ca)};
  }
  for (const std::string &ext : exts) {
    size_t eq = ext.find('=');
    if (eq == std::string::npos || eq == 0) return Usage("--ext needs NAME=VALUE: " + ext);
    order.extensions.push_back({ext.substr(0, eq), ext.substr(eq + 1)});
  }
  X509Ptr cert = IssueCertificate(ca, order, error);
  if (!cert) return Fail(error);

  if (key) {
    BioPtr keyFile(BIO_new_file(keyOut.c_str(), "w"));
    if (!keyFile || !PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
      return Fail("cannot write " + keyOut);
  }
  Bytes der = CertDer(cert.get());
  if (!WriteFileAtomic(out, der.data(), der.size())) return Fail("cannot write " + out);
  if (!SaveIssued(dir, cert.get(), error)) return Fail(error);
  printf("%s\n", SerialHex(serial.get()).c_str());
  return 0;
}

int SetPaid(const std::string &dir, Args &args, Payment state) {
  if (args.list.size() != 1) return Usage("pay and unpay take DIR SERIALHEX");
  BnPtr serial = ParseSerial(args.list[0]);
  if (!serial) return Usage("not a serial: " + args.list[0]);
  std::string error;
  Ca ca;
  if (!LoadCa(dir, ca, error)) return Fail(error);
  if (!SetPayment(dir, SerialHex(serial.get()), state, "", error)) return Fail(error);
  return 0;
}

int Ledger(const std::string &dir, Args &args) {
  std::string serial;
  if (args.list.size() > 1) return Usage("ledger takes DIR [SERIALHEX]");
  if (args.list.size() == 1) {
    BnPtr bn = ParseSerial(args.list[0]);
    if (!bn) return Usage("not a serial: " + args.list[0]);
    serial = SerialHex(bn.get());
  }
  std::string error;
  Ca ca;
  if (!LoadCa(dir, ca, error)) return Fail(error);
  for (const std::string &line : LedgerLines(dir, serial)) printf("%s\n", line.c_str());
  return 0;
}

int ServeCommand(const std::string &dir, Args &args) {
  ServeOptions options;
  while (args.more()) {
    std::string opt = args.next(), v;
    char *end = nullptr;
    if (opt == "--ignore-validity") {
      options.ignoreValidity = true;
    } else if (!args.value(v)) {
      return Usage(opt + " needs a value");
    } else if (opt == "--port") {
      long port = strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || port < 0 || port > 65535) return Usage("bad port " + v);
      options.port = static_cast<int>(port);
    } else if (opt == "--fault") {
      Fault fault;
      std::string error;
      if (!ParseFault(v, fault, error)) return Usage(error);
      options.faults.push_back(fault);
    } else if (opt == "--http-port") {
      long port = strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || port < 0 || port > 65535) return Usage("bad HTTP port " + v);
      options.httpPort = static_cast<int>(port);
    } else if (opt == "--http-fault") {
      if (v == "404") options.httpFault = HttpFault::NotFound;
      else if (v == "hang") options.httpFault = HttpFault::Hang;
      else if (v == "trickle") options.httpFault = HttpFault::Trickle;
      else if (v == "off") options.httpFault = HttpFault::Off;
      else if (v.rfind("pkcs7:", 0) == 0) {
        long bytes = strtol(v.c_str() + 6, &end, 10);
        if (v.size() == 6 || *end || bytes < 1 || bytes > 16 * 1024 * 1024) return Usage("bad bundle length " + v);
        options.httpFault = HttpFault::Pkcs7;
        options.httpPkcs7Bytes = static_cast<size_t>(bytes);
      } else return Usage("--http-fault is 404, hang, trickle, pkcs7:N or off");
    } else if (opt == "--issuer-urls") {
      long urls = strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || urls < 1 || urls > 16) return Usage("bad URL count " + v);
      options.issuerUrls = static_cast<int>(urls);
    } else if (opt == "--forger") {
      options.forgerDir = v;
    } else if (opt == "--not-after") {
      time_t ignored;
      if (!ParseTimeArg(v, time(nullptr), ignored)) return Usage("bad time " + v);
      options.notAfter = v;
    } else if (opt == "--read-timeout") {
      double seconds = strtod(v.c_str(), &end);
      if (v.empty() || *end || !(seconds > 0 && seconds <= 3600)) return Usage("bad read time-out " + v);
      options.readTimeoutMs = static_cast<int>(seconds * 1000);
    } else {
      return Usage("unknown option " + opt);
    }
  }
  return Serve(dir, options);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage("");
  std::string command = argv[1], dir = argv[2];
  Args args;
  args.list.assign(argv + 3, argv + argc);
  std::string error;
  if (!InitGost(error)) return Fail(error);

  if (command == "init") {
    // Today's centres sign with 2012 keys.
    KeyKind kind = KeyKind::R2012_256;
    std::string paramset = "A";
    int httpPort = kDefaultHttpPort;
    while (args.more()) {
      std::string opt = args.next(), v;
      char *end = nullptr;
      if (!args.value(v)) return Usage(opt + " needs a value");
      if (opt == "--kind") {
        if (!ParseKeyKind(v, kind)) return Usage("--kind is 2001, 2012-256 or 2012-512");
      } else if (opt == "--paramset") {
        paramset = v;
      } else if (opt == "--http-port") {
        long port = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || port < 1 || port > 65535) return Usage("bad HTTP port " + v);
        httpPort = static_cast<int>(port);
      } else {
        return Usage("init takes DIR [--kind KIND] [--paramset NAME] [--http-port N] only");
      }
    }
    return InitCaDir(dir, kind, paramset, httpPort, error) ? 0 : Fail(error);
  }
  if (command == "rekey") {
    KeyKind kind;
    std::string kindText;
    if (args.more() && args.next() == "--kind" && args.value(kindText) && !args.more()) {
      if (!ParseKeyKind(kindText, kind)) return Usage("--kind is 2001, 2012-256 or 2012-512");
    } else if (!args.list.empty()) {
      return Usage("rekey takes DIR [--kind KIND] only");
    }
    return RekeyCa(dir, kindText.empty() ? nullptr : &kind, error) ? 0 : Fail(error);
  }
  if (command == "mint") return Mint(dir, args);
  if (command == "pay") return SetPaid(dir, args, Payment::Paid);
  if (command == "unpay") return SetPaid(dir, args, Payment::Unpaid);
  if (command == "ledger") return Ledger(dir, args);
  if (command == "serve") return ServeCommand(dir, args);
  return Usage("unknown command " + command);
}
