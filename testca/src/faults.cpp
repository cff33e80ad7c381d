#include "faults.h"

#include <cstdlib>

// The N of a fault, from low to high; otherwise false with the error set.
static bool ParseCount(const std::string &mode, const std::string &param, long low, long high, long &n,
                       std::string &error, const std::string &arg) {
  char *end = nullptr;
  n = std::strtol(param.c_str(), &end, 10);
  if (!param.empty() && !*end && n >= low && n <= high)
    return true;
  error = mode + " needs N from " + std::to_string(low) + " to " + std::to_string(high) + ": " + arg;
  return false;
}

bool ParseFault(const std::string &arg, Fault &fault, std::string &error) {
  fault = Fault();
  fault.text = arg;
  std::string mode = arg;
  std::string param;
  size_t colon = mode.rfind(':');
  if (colon != std::string::npos) {
    std::string scope = mode.substr(colon + 1);
    if (scope == "pay" || scope == "cert") {
      fault.payment = scope == "pay";
      fault.certificate = scope == "cert";
      mode.erase(colon);
    }
  }
  colon = mode.find(':');
  if (colon != std::string::npos) {
    param = mode.substr(colon + 1);
    mode.erase(colon);
  }
  char *end = nullptr;
  if (mode == "slow") {
    double seconds = std::strtod(param.c_str(), &end);
    if (param.empty() || *end || !(seconds >= 0 && seconds <= 3600)) {
      error = "slow needs SECONDS (0 to 3600): " + arg;
      return false;
    }
    fault.slowSeconds = seconds;
    return true;
  }
  if (mode == "short") {
    long n = 0;
    if (!ParseCount(mode, param, 1, 7, n, error, arg))
      return false;
    fault.mode = FaultMode::Short;
    fault.shortLength = static_cast<int>(n);
    return true;
  }
  if (mode == "cut") {
    long n = 0;
    if (!ParseCount(mode, param, 1, 1048576, n, error, arg))
      return false;
    // A certificate is only ever a reply to a certificate request.
    if (!fault.certificate) {
      error = "cut applies to the certificate exchange only: " + arg;
      return false;
    }
    fault.mode = FaultMode::Cut;
    fault.cutLength = static_cast<int>(n);
    fault.payment = false;
    return true;
  }
  if (mode == "trail") {
    long n = 0;
    if (!ParseCount(mode, param, 1, 16777216, n, error, arg))
      return false;
    fault.mode = FaultMode::Trail;
    fault.trailLength = static_cast<int>(n);
    return true;
  }
  if (!param.empty()) {
    error = "unexpected parameter in fault " + arg;
    return false;
  }
  static const struct {
    const char *name;
    FaultMode mode;
  } kModes[] = {{"not-paid", FaultMode::NotPaid}, {"close", FaultMode::Close},     {"cert-128", FaultMode::Cert128},
                {"garbage", FaultMode::Garbage},  {"other-key", FaultMode::OtherKey}, {"forged", FaultMode::Forged},
                {"pieces", FaultMode::Pieces},
                {"reset", FaultMode::Reset},      {"flood", FaultMode::Flood}};
  for (const auto &m : kModes)
    if (mode == m.name) {
      fault.mode = m.mode;
      // A certificate of any kind is only ever a reply to a certificate request.
      if (m.mode == FaultMode::Cert128 || m.mode == FaultMode::OtherKey || m.mode == FaultMode::Forged) {
        if (!fault.certificate) {
          error = mode + " applies to the certificate exchange only: " + arg;
          return false;
        }
        fault.payment = false;
      }
      return true;
    }
  error = "unknown fault " + arg;
  return false;
}

Fault FaultFor(const std::vector<Fault> &faults, bool certificateExchange) {
  Fault result;
  double slow = 0;
  std::string slowText;
  for (const Fault &f : faults) {
    if (!(certificateExchange ? f.certificate : f.payment)) continue;
    if (f.mode == FaultMode::None) {
      slow += f.slowSeconds;
      slowText += (slowText.empty() ? "" : ",") + f.text;
    } else {
      result = f;
    }
  }
  result.slowSeconds = slow;
  if (!slowText.empty()) result.text = result.text.empty() ? slowText : result.text + "," + slowText;
  return result;
}
