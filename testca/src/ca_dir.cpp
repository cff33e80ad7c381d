#include "ca_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "issue.h"

namespace {

const char kFirstSerial[] = "1000";

// Holds the folder's lock file for the lifetime of the object (flock: also
// between threads, since each takes its own open file).
class LockedCaDir {
 public:
  explicit LockedCaDir(const std::string &dir) {
    fd_ = open(CaPath(dir, "lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~LockedCaDir() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

struct LedgerEntry {
  std::string serial;
  Payment state;
  std::string issued;
};

const char *StateName(Payment state) {
  switch (state) {
    case Payment::Paid: return "paid";
    case Payment::Used: return "used";
    default: return "unpaid";
  }
}

std::vector<LedgerEntry> ReadLedger(const std::string &dir) {
  std::vector<LedgerEntry> entries;
  Bytes data;
  if (!ReadFile(CaPath(dir, "ledger"), data)) return entries;
  std::istringstream in(std::string(data.begin(), data.end()));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string serial, state, issued;
    if (!(words >> serial >> state)) continue;
    words >> issued;
    BnPtr bn = ParseSerial(serial);
    if (!bn) continue;
    Payment p = state == "paid" ? Payment::Paid : state == "used" ? Payment::Used : Payment::Unpaid;
    entries.push_back({SerialHex(bn.get()), p, issued});
  }
  return entries;
}

std::string LedgerLine(const LedgerEntry &e) {
  std::string line = e.serial + " " + StateName(e.state);
  if (e.state == Payment::Used && !e.issued.empty()) line += " " + e.issued;
  return line;
}

bool WriteLedger(const std::string &dir, const std::vector<LedgerEntry> &entries) {
  std::string text;
  for (const LedgerEntry &e : entries) text += LedgerLine(e) + "\n";
  return WriteFileAtomic(CaPath(dir, "ledger"), text.data(), text.size());
}

bool WritePem(const std::string &path, bool privateKey, X509 *cert, EVP_PKEY *key) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  int ok = privateKey ? PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                      : PEM_write_bio_X509(mem.get(), cert);
  if (!ok) return false;
  char *p = nullptr;
  long len = BIO_get_mem_data(mem.get(), &p);
  return WriteFileAtomic(path, p, static_cast<size_t>(len), privateKey ? 0600 : 0644);
}

// The centre's certificate for its key: valid ten years from a day ago,
// issued by its head (serial from the head's counter, a copy kept in the
// head's issued/), or self-signed with the given serial when head is null.
X509Ptr MakeCaCertificate(EVP_PKEY *key, X509_NAME *subject, const BIGNUM *serial, const std::string &dir,
                          const Ca *head, std::string &error) {
  time_t now = time(nullptr);
  CertOrder order;
  order.subject = subject;
  order.publicKey = key;
  order.serial = serial;
  order.notBefore = now - 24 * 3600;
  order.notAfter = AddMonths(now, 120);
  order.extensions = {{"basicConstraints", "critical,CA:TRUE"},
                     {"keyUsage", "critical,keyCertSign,cRLSign,digitalSignature"},
                     {"subjectKeyIdentifier", "hash"},
                     {"authorityKeyIdentifier", "keyid:always"}};
  if (head) {
    BnPtr headSerial = TakeSerial(head->dir, error);
    if (!headSerial) return nullptr;
    order.serial = headSerial.get();
    order.extensions.push_back(CaIssuersOf(*head));
    X509Ptr cert = IssueCertificate(*head, order, error);
    if (cert && !SaveIssued(head->dir, cert.get(), error)) return nullptr;
    return cert;
  }
  Ca self;
  self.dir = dir;
  self.key.reset(key);
  EVP_PKEY_up_ref(key);
  return IssueCertificate(self, order, error);
}

X509NamePtr NameOf(const char *commonName) {
  X509NamePtr name(X509_NAME_new());
  X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(commonName),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Kestrava"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name.get(), "C", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("RU"), -1, -1,
                             0);
  return name;
}

bool HasHead(const std::string &dir) { return access(CaPath(HeadDir(dir), "ca.key").c_str(), F_OK) == 0; }

// One CA folder: the centre of subject, certified by head (null: itself).
bool InitFolder(const std::string &dir, KeyKind kind, const std::string &paramset, X509_NAME *subject,
                const Ca *head, int httpPort, std::string &error) {
  mkdir(dir.c_str(), 0755);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "cannot make the folder " + dir;
    return false;
  }
  if (access(CaPath(dir, "ca.key").c_str(), F_OK) == 0) {
    error = dir + " already holds a CA (ca.key)";
    return false;
  }
  PkeyPtr key = NewGostKey(kind, paramset);
  if (!key) {
    error = "cannot make the CA key on the parameter set " + paramset + ": " + OsslErrors();
    return false;
  }
  mkdir(CaPath(dir, "issued").c_str(), 0755);
  std::string counter = std::string(kFirstSerial) + "\n", port = std::to_string(httpPort) + "\n";
  if (!WriteFileAtomic(CaPath(dir, "serial"), counter.data(), counter.size())) {
    error = "cannot write the CA files in " + dir;
    return false;
  }
  BnPtr serial(BN_new());
  BN_set_word(serial.get(), 1);
  X509Ptr cert = MakeCaCertificate(key.get(), subject, serial.get(), dir, head, error);
  if (!cert) return false;

  Bytes der = CertDer(cert.get());
  if (!WritePem(CaPath(dir, "ca.pem"), false, cert.get(), nullptr) ||
      !WriteFileAtomic(CaPath(dir, "ca.der"), der.data(), der.size()) ||
      !WriteFileAtomic(CaPath(dir, "http-port"), port.data(), port.size()) ||
      !WriteFileAtomic(CaPath(dir, "ledger"), "", 0) ||
      !WriteFileAtomic(CaPath(dir, "journal.log"), "", 0) ||
      // The key last: its presence is what marks a finished CA folder.
      !WritePem(CaPath(dir, "ca.key"), true, nullptr, key.get())) {
    error = "cannot write the CA files in " + dir;
    return false;
  }
  return true;
}

// Reads one certificate file, DER or PEM; null when it holds none.
X509Ptr ReadCertificateFile(const std::string &path) {
  Bytes data;
  if (!ReadFile(path, data)) return nullptr;
  const unsigned char *p = data.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
  if (!cert) {
    BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    cert.reset(PEM_read_bio_X509(mem.get(), nullptr, nullptr, nullptr));
  }
  ERR_clear_error();
  return cert;
}

// The name the centre's files of its Nth earlier key carry: ca-N.key and so on.
std::string EarlierName(int n, const char *extension) { return "ca-" + std::to_string(n) + extension; }

bool CopyFile(const std::string &from, const std::string &to, int mode) {
  Bytes data;
  return ReadFile(from, data) && WriteFileAtomic(to, data.data(), data.size(), mode);
}

}  // namespace

std::string CaPath(const std::string &dir, const char *name) { return dir + "/" + name; }

std::string HeadDir(const std::string &dir) { return dir + "/head"; }

bool InitCaDir(const std::string &dir, KeyKind kind, const std::string &paramset, int httpPort,
               std::string &error) {
  if (access(CaPath(dir, "ca.key").c_str(), F_OK) == 0) {
    error = dir + " already holds a CA (ca.key)";
    return false;
  }
  if (!NewGostKey(kind, paramset)) {
    error = "cannot make the CA key on the parameter set " + paramset + ": " + OsslErrors();
    return false;
  }
  mkdir(dir.c_str(), 0755);
  // The head's key is of the centre's kind, so the centre's certificate too
  // is signed with the digest of that kind.
  Ca head;
  if (!InitFolder(HeadDir(dir), kind, "A", NameOf("Kestrava Test Head CA").get(), nullptr, httpPort,
                  error) ||
      !LoadCa(HeadDir(dir), head, error))
    return false;
  return InitFolder(dir, kind, paramset, NameOf("Kestrava Test CA").get(), &head, httpPort, error);
}

bool LoadCa(const std::string &dir, Ca &ca, std::string &error) {
  ca.dir = dir;
  BioPtr keyIn(BIO_new_file(CaPath(dir, "ca.key").c_str(), "r"));
  BioPtr certIn(BIO_new_file(CaPath(dir, "ca.pem").c_str(), "r"));
  if (!keyIn || !certIn) {
    error = dir + " holds no CA (run testca init first)";
    return false;
  }
  ca.key.reset(PEM_read_bio_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr));
  ca.cert.reset(PEM_read_bio_X509(certIn.get(), nullptr, nullptr, nullptr));
  if (!ca.key || !ca.cert) {
    error = "cannot read the CA key or certificate in " + dir + ": " + OsslErrors();
    return false;
  }
  for (int n = 1;; n++) {
    X509Ptr earlier;
    BioPtr in(BIO_new_file(CaPath(dir, EarlierName(n, ".pem").c_str()).c_str(), "r"));
    if (in) earlier.reset(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (!earlier) break;
    ca.earlier.push_back(std::move(earlier));
  }
  ERR_clear_error();  // the missing file that ends the list
  Bytes port;
  if (ReadFile(CaPath(dir, "http-port"), port)) ca.httpPort = atoi(std::string(port.begin(), port.end()).c_str());
  return true;
}

bool RekeyCa(const std::string &dir, const KeyKind *kind, std::string &error) {
  Ca ca;
  if (!LoadCa(dir, ca, error)) return false;
  KeyKind newKind = KeyKind::R2012_256;
  if (kind) {
    newKind = *kind;
  } else {
    switch (EVP_PKEY_get_base_id(ca.key.get())) {
      case NID_id_GostR3410_2001: newKind = KeyKind::R2001; break;
      case NID_id_GostR3410_2012_512: newKind = KeyKind::R2012_512; break;
      default: newKind = KeyKind::R2012_256; break;
    }
  }
  PkeyPtr key = NewGostKey(newKind, "A");
  if (!key) {
    error = "cannot make the CA key: " + OsslErrors();
    return false;
  }
  BnPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(ca.cert.get()), nullptr));
  if (!serial || !BN_add_word(serial.get(), 1)) {
    error = "cannot read the CA's serial: " + OsslErrors();
    return false;
  }
  Ca head;
  bool headed = HasHead(dir);
  if (headed && !LoadCa(HeadDir(dir), head, error)) return false;
  X509Ptr cert = MakeCaCertificate(key.get(), X509_get_subject_name(ca.cert.get()), serial.get(), dir,
                                   headed ? &head : nullptr, error);
  if (!cert) return false;

  int n = static_cast<int>(ca.earlier.size()) + 1;
  Bytes der = CertDer(cert.get());
  if (!CopyFile(CaPath(dir, "ca.key"), CaPath(dir, EarlierName(n, ".key").c_str()), 0600) ||
      !CopyFile(CaPath(dir, "ca.der"), CaPath(dir, EarlierName(n, ".der").c_str()), 0644) ||
      // The earlier certificate last: its presence is what LoadCa counts.
      !CopyFile(CaPath(dir, "ca.pem"), CaPath(dir, EarlierName(n, ".pem").c_str()), 0644) ||
      !WritePem(CaPath(dir, "ca.key"), true, nullptr, key.get()) ||
      !WritePem(CaPath(dir, "ca.pem"), false, cert.get(), nullptr) ||
      !WriteFileAtomic(CaPath(dir, "ca.der"), der.data(), der.size())) {
    error = "cannot write the new CA files in " + dir;
    return false;
  }
  return true;
}

BnPtr TakeSerial(const std::string &dir, std::string &error) {
  LockedCaDir lock(dir);
  Bytes data;
  if (!lock.ok() || !ReadFile(CaPath(dir, "serial"), data)) {
    error = "cannot read the serial counter in " + dir;
    return nullptr;
  }
  std::string text(data.begin(), data.end());
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  BnPtr serial = ParseSerial(text);
  if (!serial) {
    error = "the serial counter in " + dir + " is damaged";
    return nullptr;
  }
  BnPtr next(BN_dup(serial.get()));
  BN_add_word(next.get(), 1);
  std::string line = SerialHex(next.get()) + "\n";
  if (!WriteFileAtomic(CaPath(dir, "serial"), line.data(), line.size())) {
    error = "cannot advance the serial counter in " + dir;
    return nullptr;
  }
  return serial;
}

bool SaveIssued(const std::string &dir, X509 *cert, std::string &error) {
  mkdir(CaPath(dir, "issued").c_str(), 0755);
  Bytes der = CertDer(cert);
  std::string path = CaPath(dir, "issued") + "/" + SerialHex(X509_get0_serialNumber(cert)) + ".der";
  if (der.empty() || !WriteFileAtomic(path, der.data(), der.size())) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool SaveRequest(const std::string &dir, X509 *cert, const Bytes &request, std::string &error) {
  mkdir(CaPath(dir, "requests").c_str(), 0755);
  std::string path = CaPath(dir, "requests") + "/" + SerialHex(X509_get0_serialNumber(cert)) + ".der";
  if (!WriteFileAtomic(path, request.data(), request.size())) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

Payment PaymentOf(const std::string &dir, const std::string &serial) {
  LockedCaDir lock(dir);
  for (const LedgerEntry &e : ReadLedger(dir))
    if (e.serial == serial) return e.state;
  return Payment::Unpaid;
}

bool SetPayment(const std::string &dir, const std::string &serial, Payment state,
                const std::string &issuedSerial, std::string &error) {
  LockedCaDir lock(dir);
  std::vector<LedgerEntry> entries = ReadLedger(dir);
  bool found = false;
  for (LedgerEntry &e : entries)
    if (e.serial == serial) {
      e.state = state;
      e.issued = issuedSerial;
      found = true;
    }
  if (!found) entries.push_back({serial, state, issuedSerial});
  if (!lock.ok() || !WriteLedger(dir, entries)) {
    error = "cannot write the ledger in " + dir;
    return false;
  }
  return true;
}

bool UsePayment(const std::string &dir, const std::string &serial, const std::string &issuedSerial) {
  LockedCaDir lock(dir);
  std::vector<LedgerEntry> entries = ReadLedger(dir);
  for (LedgerEntry &e : entries)
    if (e.serial == serial) {
      if (e.state != Payment::Paid) return false;
      e.state = Payment::Used;
      e.issued = issuedSerial;
      return WriteLedger(dir, entries);
    }
  return false;
}

std::vector<std::string> LedgerLines(const std::string &dir, const std::string &serial) {
  LockedCaDir lock(dir);
  std::vector<std::string> lines;
  for (const LedgerEntry &e : ReadLedger(dir))
    if (serial.empty() || e.serial == serial) lines.push_back(LedgerLine(e));
  if (!serial.empty() && lines.empty()) lines.push_back(serial + " unpaid");
  return lines;
}

std::vector<X509Ptr> PublishedCertificates(const std::string &dir) {
  std::vector<X509Ptr> published;
  for (const std::string &folder : {dir, HeadDir(dir)}) {
    Ca ca;
    std::string ignored;
    if (!LoadCa(folder, ca, ignored)) continue;
    published.push_back(std::move(ca.cert));
    for (X509Ptr &earlier : ca.earlier) published.push_back(std::move(earlier));
  }
  // The head's issued/ holds every centre certificate it made, also those
  // for keys of other centres' names.
  if (DIR *issued = opendir(CaPath(HeadDir(dir), "issued").c_str())) {
    std::vector<std::string> names;
    while (dirent *entry = readdir(issued))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(issued);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
      if (X509Ptr cert = ReadCertificateFile(CaPath(HeadDir(dir), "issued") + "/" + name))
        if (X509_check_ca(cert.get())) published.push_back(std::move(cert));
  }
  return published;
}
