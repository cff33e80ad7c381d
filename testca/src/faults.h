// Scripted misbehaviour of the server for tests: --fault MODE[:EXCHANGE].
#pragma once

#include <string>
#include <vector>

enum class FaultMode { None, NotPaid, Close, Short, Cert128, Cut, Garbage, OtherKey, Forged, Pieces, Reset, Flood, Trail };

struct Fault {
  FaultMode mode = FaultMode::None;
  int shortLength = 0;       // short:N
  int cutLength = 0;         // cut:N
  int trailLength = 0;       // trail:N
  double slowSeconds = 0;    // slow:SECONDS
  bool payment = true;       // applies to the payment exchange
  bool certificate = true;   // applies to the certificate exchange
  std::string text;          // as given, for the journal
};

// Reads one --fault argument; false with a message when it is not valid.
bool ParseFault(const std::string &arg, Fault &fault, std::string &error);

// What happens on one exchange: the delay of every slow fault that applies
// plus the last other fault that applies (text joins the texts of both).
Fault FaultFor(const std::vector<Fault> &faults, bool certificateExchange);
