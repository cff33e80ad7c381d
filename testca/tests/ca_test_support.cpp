#include "ca_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <openssl/pem.h>

// The tests read GOST keys and signatures themselves, too.
const bool gostReady = [] {
  std::string error;
  return InitGost(error);
}();

std::string Testca() { return TESTCA_PATH; }

std::string FreshDir(const std::string &name) {
  std::string dir = std::string(TEST_WORK_ROOT) + "/" + name;
  Shell("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
  return dir;
}

std::string Quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

int Shell(const std::string &command, std::string *output) {
  std::string line = "timeout 60 sh -c " + Quote(command) + " 2>&1";
  FILE *pipe = popen(line.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string &path) {
  Bytes data;
  ReadFile(path, data);
  return std::string(data.begin(), data.end());
}

X509Ptr CertFromBytes(const Bytes &der) {
  const unsigned char *p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (cert && p != der.data() + der.size()) return nullptr;  // trailing bytes
  return cert;
}

X509Ptr ReadCert(const std::string &path) {
  Bytes data;
  if (!ReadFile(path, data)) return nullptr;
  X509Ptr cert = CertFromBytes(data);
  if (!cert) {
    BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
    cert.reset(PEM_read_bio_X509(mem.get(), nullptr, nullptr, nullptr));
  }
  return cert;
}

X509ReqPtr ReadReq(const std::string &path) {
  Bytes data;
  if (!ReadFile(path, data)) return nullptr;
  const unsigned char *p = data.data();
  return X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(data.size())));
}

std::vector<std::string> JournalLines(const std::string &caDir) {
  std::vector<std::string> lines;
  std::istringstream in(ReadText(caDir + "/journal.log"));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

Holder MintHolder(const std::string &caDir, const std::string &workDir, const std::string &name,
                  const std::vector<std::string> &rdns, const std::string &keyOptions) {
  Holder h;
  std::string der = workDir + "/" + name + ".der";
  h.certPem = workDir + "/" + name + ".pem";
  h.keyPem = workDir + "/" + name + ".key";
  std::string command = Quote(Testca()) + " mint " + Quote(caDir) + " --out " + Quote(der) + " --key-out " +
                        Quote(h.keyPem);
  for (const std::string &rdn : rdns) command += " --rdn " + Quote(rdn);
  command += " " + keyOptions;
  std::string out;
  if (Shell(command, &out) != 0) return Holder();
  h.serial = out.substr(0, out.find('\n'));
  if (Shell("openssl x509 -engine gost -inform DER -in " + Quote(der) + " -out " + Quote(h.certPem)) != 0)
    return Holder();
  return h;
}

std::vector<std::string> RenewalExtensions() {
  return {
      "keyUsage = digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
      "extendedKeyUsage = 1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
      "1.2.643.3.6.78.4.5,1.3.6.1.5.5.7.3.4,1.2.643.5.1.28.4,1.2.643.3.6.0.13",
      // FORMAT:UTF8, or OpenSSL reads the text as Latin-1 and encodes every byte anew.
      u8"1.2.643.100.111 = ASN1:FORMAT:UTF8,UTF8String:СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»",
      "1.3.6.1.4.1.311.21.7 = ASN1:SEQUENCE:certificateTemplate",
  };
}

std::string MakeRequest(const std::string &workDir, const std::string &name, const RequestOrder &order) {
  std::string config = workDir + "/" + name + ".cnf";
  std::string key = order.keyPem.empty() ? workDir + "/" + name + ".key" : order.keyPem;
  std::string out = workDir + "/" + name + ".req";
  std::ofstream cnf(config);
  cnf << "[req]\ndistinguished_name = dn\nprompt = no\nutf8 = yes\nstring_mask = utf8only\n";
  if (!order.extensions.empty()) cnf << "req_extensions = ext\n";
  cnf << "[dn]\n";
  for (const std::string &line : order.subject) cnf << line << "\n";
  cnf << "[ext]\n";
  for (const std::string &line : order.extensions) cnf << line << "\n";
  cnf << "[certificateTemplate]\ntemplateID = OID:1.2.643.3.6.3.13\n"
         "templateMajorVersion = INTEGER:1\ntemplateMinorVersion = INTEGER:0\n";
  cnf.close();
  if (order.keyPem.empty() &&
      Shell("openssl genpkey -engine gost " + order.keyAlgorithm + " -out " + Quote(key)) != 0)
    return "";
  if (Shell("openssl req -engine gost -new -key " + Quote(key) + " -config " + Quote(config) +
          " -outform DER -out " + Quote(out)) != 0)
    return "";
  return out;
}

Bytes SignWith(const Holder &holder, const std::string &contentPath, const std::string &workDir) {
  static std::atomic<int> counter{0};
  std::string out = workDir + "/signed" + std::to_string(counter++) + ".cms";
  Bytes data;
  if (Shell("openssl cms -engine gost -sign -binary -nodetach -signer " + Quote(holder.certPem) +
          " -inkey " + Quote(holder.keyPem) + " -in " + Quote(contentPath) + " -outform DER -out " + Quote(out)) == 0)
    ReadFile(out, data);
  return data;
}

std::string WritePaymentContent(const std::string &workDir) {
  std::string path = workDir + "/payment.bin";
  const unsigned char payment[] = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x01};
  WriteFileAtomic(path, payment, sizeof payment);
  return path;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop();
}

bool ServerProcess::Start(const std::string &caDir, const std::vector<std::string> &args) {
  int out[2];
  if (pipe(out) != 0) return false;
  std::vector<std::string> argv = {Testca(), "serve", caDir, "--port", "0", "--http-port", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char *> cargs;
    for (std::string &a : argv) cargs.push_back(&a[0]);
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(out[1]);
  // The certificates' HTTP port comes first when it listens, then the
  // renewal port.
  const std::string prefix = "listening on 127.0.0.1:", httpPrefix = "certificates on http://127.0.0.1:";
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  httpPort_ = 0;
  while (line.compare(0, prefix.size(), prefix) != 0 && std::chrono::steady_clock::now() < deadline) {
    line.clear();
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      struct pollfd p = {out[0], POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c;
      if (read(out[0], &c, 1) != 1) break;
      line += c;
    }
    if (line.empty()) break;
    if (line.compare(0, httpPrefix.size(), httpPrefix) == 0) httpPort_ = std::stoi(line.substr(httpPrefix.size()));
  }
  close(out[0]);
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  port_ = std::stoi(line.substr(prefix.size()));
  return port_ > 0;
}

int ServerProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; i++) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = 0;
  return -1;
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  struct timeval tv = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

Reply ReadToEnd(int fd) {
  Reply reply;
  unsigned char buf[4096];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      reply.bytes.insert(reply.bytes.end(), buf, buf + n);
      reply.reads++;
      continue;
    }
    if (n < 0 && errno == ECONNRESET) reply.reset = true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) reply.timedOut = true;
    break;
  }
  close(fd);
  return reply;
}

Reply Exchange(int port, const Bytes &request) {
  int fd = Connect(port);
  if (fd < 0) return Reply();
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return ReadToEnd(fd);
}

std::string CaIssuersUrl(X509 *cert) {
  AUTHORITY_INFO_ACCESS *aia =
      static_cast<AUTHORITY_INFO_ACCESS *>(X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr));
  std::string url;
  for (int i = 0; aia && i < sk_ACCESS_DESCRIPTION_num(aia); i++) {
    ACCESS_DESCRIPTION *d = sk_ACCESS_DESCRIPTION_value(aia, i);
    if (OBJ_obj2nid(d->method) == NID_ad_ca_issuers && d->location->type == GEN_URI)
      url.assign(reinterpret_cast<const char *>(ASN1_STRING_get0_data(d->location->d.uniformResourceIdentifier)));
  }
  AUTHORITY_INFO_ACCESS_free(aia);
  return url;
}
