// testca serve: the renewal server on 127.0.0.1.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "faults.h"

struct ServeOptions {
  int port = 2000;
  std::vector<Fault> faults;
  int readTimeoutMs = 10000;
  bool ignoreValidity = false;
  // End of validity of the certificates it issues, as --not-after of mint
  // takes it; empty: 13 calendar months after issue.
  std::string notAfter;
};

// Serves until SIGTERM or SIGINT; returns the process exit code.
int Serve(const std::string &dir, const ServeOptions &options);

// Requests are found by their own outer DER length; anything larger is refused.
const size_t kMaxRequest = 1024 * 1024;

enum class Frame { NeedMore, Complete, Malformed, Oversized };

// Judges the first `have` bytes of a request: its whole length (total) once
// the DER header is complete, or why it can never be a request.
Frame MeasureRequest(const unsigned char *data, size_t have, size_t &total);
