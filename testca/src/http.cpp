#include "http.h"

#include <openssl/pkcs7.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "issue.h"

namespace {

const size_t kMaxHead = 8192;
const int kReadTimeoutMs = 10000;
const int kHangPollMs = 100;
const int kTrickleMs = 2000;

// The request's head, up to the empty line; false when it never comes whole.
bool ReadHead(int fd, std::string &head) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
  char chunk[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    struct pollfd p = {fd, POLLIN, 0};
    if (head.size() > kMaxHead || left <= 0 || poll(&p, 1, left) <= 0) return false;
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    head.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// Paths are compared without case: key identifiers are hex.
std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

void Log(const HttpSite &site, const std::string &path, const std::string &status, size_t sent) {
  if (site.logFd < 0) return;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &t);
  std::string line = std::string(stamp) + "\tpath=" + path + "\tstatus=" + status + "\tsent=" + std::to_string(sent) + "\n";
  ssize_t ignored = write(site.logFd, line.data(), line.size());
  (void)ignored;
}

// Whether the connection is still held after ms: false once the client has
// closed it or the server stops.
bool HeldFor(const HttpSite &site, int fd, int ms) {
  for (int waited = 0; waited < ms; waited += kHangPollMs) {
    if (site.stopping->load()) return false;
    struct pollfd p = {fd, POLLIN, 0};
    char sink[256];
    if (poll(&p, 1, kHangPollMs) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) return false;
  }
  return true;
}

// The certificate in a PKCS#7 bundle of exactly length bytes, made up to it
// with data content (which readers of certificates pass over); empty when
// no bundle has that length.
std::string Pkcs7Of(const Bytes &der, size_t length) {
  const unsigned char *in = der.data();
  X509Ptr cert(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
  std::string padding, encoded;
  while (cert && encoded.size() < length) {
    OsslPtr<PKCS7, PKCS7_free> bundle(PKCS7_new());
    if (!PKCS7_set_type(bundle.get(), NID_pkcs7_signed) || !PKCS7_content_new(bundle.get(), NID_pkcs7_data) ||
        !ASN1_OCTET_STRING_set(bundle->d.sign->contents->d.data,
                               reinterpret_cast<const unsigned char *>(padding.data()),
                               static_cast<int>(padding.size())) ||
        !PKCS7_add_certificate(bundle.get(), cert.get()))
      return "";
    unsigned char *out = nullptr;
    int size = i2d_PKCS7(bundle.get(), &out);
    encoded = size > 0 ? std::string(reinterpret_cast<char *>(out), static_cast<size_t>(size)) : "";
    OPENSSL_free(out);
    if (size <= 0) return "";
    // Lengths of lengths grow with the padding: close in from below.
    size_t gap = length > encoded.size() ? length - encoded.size() : 0;
    padding.append(std::max<size_t>(1, gap > 16 ? gap - 16 : 1), '\0');
  }
  return encoded.size() == length ? encoded : "";
}

}  // namespace

void Publish(HttpSite &site, const std::vector<X509Ptr> &certificates) {
  for (const X509Ptr &cert : certificates) {
    std::string path = PublishedPath(cert.get());
    if (!path.empty()) site.files[Upper(path)] = CertDer(cert.get());
  }
}

std::string RequestedPath(const std::string &head, bool &headOnly) {
  size_t space = head.find(' ');
  if (space == std::string::npos) return "";
  std::string method = head.substr(0, space);
  size_t end = head.find(' ', space + 1);
  if ((method != "GET" && method != "HEAD") || end == std::string::npos) return "";
  headOnly = method == "HEAD";
  std::string path = head.substr(space + 1, end - space - 1);
  path = path.substr(0, path.find('?'));
  return Upper(path);
}

void ServeHttpConnection(const HttpSite &site, int fd) {
  std::string head, path;
  bool headOnly = false;
  if (ReadHead(fd, head)) path = RequestedPath(head, headOnly);
  if (path.empty()) {
    Log(site, "-", "400", 0);
    close(fd);
    return;
  }
  if (site.fault == HttpFault::Hang) {
    // Accepted and read, never answered: only the client's giving up or the
    // server's stopping ends it.
    Log(site, path, "hang", 0);
    while (HeldFor(site, fd, kHangPollMs)) {
    }
    close(fd);
    return;
  }
  auto found = site.fault == HttpFault::NotFound ? site.files.end() : site.files.find(path);
  std::string status = found == site.files.end() ? "404" : "200";
  std::string body = found == site.files.end() ? "" : std::string(found->second.begin(), found->second.end());
  const char *type = status == "200" ? "application/pkix-cert" : "text/plain";
  if (status == "200" && site.fault == HttpFault::Pkcs7) {
    body = Pkcs7Of(found->second, site.pkcs7Bytes);
    type = "application/pkcs7-mime";
    if (body.empty()) status = "500";
  }
  std::string reply = "HTTP/1.1 " + status + (status == "200" ? " OK" : status == "404" ? " Not Found" : " Error") +
                      "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n";
  if (!headOnly) reply += body;
  if (site.fault == HttpFault::Trickle) {
    // The answer a byte at a time, then spaces: it never ends while the
    // client waits.
    Log(site, path, "trickle", 0);
    for (size_t i = 0; HeldFor(site, fd, i == 0 ? 0 : kTrickleMs); i++) {
      char byte = i < reply.size() ? reply[i] : ' ';
      if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) break;
    }
    close(fd);
    return;
  }
  size_t sent = 0;
  while (sent < reply.size()) {
    ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  Log(site, path, status, sent);
  shutdown(fd, SHUT_WR);
  close(fd);
}
