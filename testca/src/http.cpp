#include "http.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <ctime>

#include "issue.h"

namespace {

const size_t kMaxHead = 8192;
const int kReadTimeoutMs = 10000;
const int kHangPollMs = 100;

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
    while (!site.stopping->load()) {
      struct pollfd p = {fd, POLLIN, 0};
      char sink[256];
      if (poll(&p, 1, kHangPollMs) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
    return;
  }
  auto found = site.fault == HttpFault::NotFound ? site.files.end() : site.files.find(path);
  std::string status = found == site.files.end() ? "404" : "200";
  std::string body = found == site.files.end() ? "" : std::string(found->second.begin(), found->second.end());
  std::string reply = "HTTP/1.1 " + status + (status == "200" ? " OK" : " Not Found") +
                      "\r\nContent-Type: " + (status == "200" ? "application/pkix-cert" : "text/plain") +
                      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  if (!headOnly) reply += body;
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
