// The centre's certificates over HTTP, as real centres publish them for the
// caIssuers URLs of what they issue: GET /KEYID.der answers the DER
// certificate of that key identifier.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "ossl.h"
#include "server.h"

struct HttpSite {
  std::map<std::string, Bytes> files;  // path -> body
  HttpFault fault = HttpFault::None;
  size_t pkcs7Bytes = 0;               // HttpFault::Pkcs7: the bundle's length
  int logFd = -1;                      // DIR/http.log, one line per request
  const std::atomic<bool> *stopping = nullptr;
};

// The site of these certificates, each at its PublishedPath.
void Publish(HttpSite &site, const std::vector<X509Ptr> &certificates);

// Reads one request from fd, answers it as the site says, logs it and closes fd.
void ServeHttpConnection(const HttpSite &site, int fd);

// The path of a GET or HEAD request line; empty when it is not one.
std::string RequestedPath(const std::string &head, bool &headOnly);
