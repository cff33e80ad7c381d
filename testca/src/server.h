// testca serve: the renewal server on 127.0.0.1.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "faults.h"

// Misbehaviour of the certificates' HTTP server: a 404 for every path, an
// answer that never comes (the connection accepted and held), one that
// trickles without end, a certificate in a PKCS#7 bundle of a given
// length, or not listening at all.
enum class HttpFault { None, NotFound, Hang, Trickle, Pkcs7, Off };

struct ServeOptions {
  int port = 2000;
  std::vector<Fault> faults;
  int readTimeoutMs = 10000;
  bool ignoreValidity = false;
  // End of validity of the certificates it issues, as --not-after of mint
  // takes it; empty: 13 calendar months after issue.
  std::string notAfter;
  // The port of the certificates' HTTP server; -1: the folder's http-port.
  int httpPort = -1;
  HttpFault httpFault = HttpFault::None;
  size_t httpPkcs7Bytes = 0;  // the bundle's length for HttpFault::Pkcs7
  // caIssuers URLs in what it issues: the centre's own last, those before it
  // at paths nobody publishes.
  int issuerUrls = 1;
  // A CA folder whose centre key signs what the forged fault answers.
  std::string forgerDir;
};

// Serves until SIGTERM or SIGINT; returns the process exit code.
int Serve(const std::string &dir, const ServeOptions &options);

// Requests are found by their own outer DER length; anything larger is refused.
const size_t kMaxRequest = 1024 * 1024;

enum class Frame { NeedMore, Complete, Malformed, Oversized };

// Judges the first `have` bytes of a request: its whole length (total) once
// the DER header is complete, or why it can never be a request.
Frame MeasureRequest(const unsigned char *data, size_t have, size_t &total);
