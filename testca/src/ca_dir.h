// The CA folder: key and certificate, the serial counter, the payment ledger
// and the copies of issued certificates. mint, pay and a running server may
// use one folder at once, so every change goes through LockedCaDir.
#pragma once

#include <string>
#include <vector>

#include "ossl.h"

// The HTTP port a centre's caIssuers URLs name unless init is told otherwise.
const int kDefaultHttpPort = 2080;

struct Ca {
  std::string dir;
  X509Ptr cert;
  PkeyPtr key;
  // The certificates of the keys it signed with before each rekey, oldest first.
  std::vector<X509Ptr> earlier;
  // The port of the URLs in the certificates it issues (the folder's http-port).
  int httpPort = kDefaultHttpPort;
};

// A new issuing centre: DIR/head is made first, a head centre with a
// self-signed certificate, and it certifies the centre's own key of that kind
// on that parameter set, as the GOST engine names it ("A": CryptoPro-A for
// 2001 and 2012-256 keys, TC26-512-A for 2012-512 keys). Both name httpPort
// in the caIssuers URLs of what they issue.
bool InitCaDir(const std::string &dir, KeyKind kind, const std::string &paramset, int httpPort,
               std::string &error);
bool LoadCa(const std::string &dir, Ca &ca, std::string &error);

// The folder of the head centre that certifies the centre of dir.
std::string HeadDir(const std::string &dir);

// Gives the centre a new signing key under the same name: the current key and
// certificate are kept as ca-N.key, ca-N.pem, ca-N.der (N = 1, 2, ... for
// each rekey), and a fresh key of that kind (null: the current key's kind)
// with a new certificate (same subject) become ca.key, ca.pem, ca.der. The
// head's current key certifies it; a head, which has none above it, certifies
// itself (serial one above its current one).
bool RekeyCa(const std::string &dir, const KeyKind *kind, std::string &error);

// What the centre serves over HTTP: its own certificates, current and
// earlier, its head's, and every centre certificate the head issued.
std::vector<X509Ptr> PublishedCertificates(const std::string &dir);

std::string CaPath(const std::string &dir, const char *name);

// The next serial of the counter, which is advanced; null on failure.
BnPtr TakeSerial(const std::string &dir, std::string &error);

// Keeps a copy of an issued certificate as issued/SERIAL.der.
bool SaveIssued(const std::string &dir, X509 *cert, std::string &error);

// Keeps the request (DER) a certificate was issued for as requests/SERIAL.der.
bool SaveRequest(const std::string &dir, X509 *cert, const Bytes &request, std::string &error);

enum class Payment { Unpaid, Paid, Used };

// SERIAL is normalised hex (SerialHex). Unknown serials are unpaid.
Payment PaymentOf(const std::string &dir, const std::string &serial);
bool SetPayment(const std::string &dir, const std::string &serial, Payment state,
                const std::string &issuedSerial, std::string &error);
// Marks a paid entry used in one step, so two requests cannot both use one
// payment. False (and nothing changed) when the entry was not paid.
bool UsePayment(const std::string &dir, const std::string &serial, const std::string &issuedSerial);
// The ledger's lines; with a serial only that serial's line.
std::vector<std::string> LedgerLines(const std::string &dir, const std::string &serial);
