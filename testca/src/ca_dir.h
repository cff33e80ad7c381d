// The CA folder: key and certificate, the serial counter, the payment ledger
// and the copies of issued certificates. mint, pay and a running server may
// use one folder at once, so every change goes through LockedCaDir.
#pragma once

#include <string>
#include <vector>

#include "ossl.h"

struct Ca {
  std::string dir;
  X509Ptr cert;
  PkeyPtr key;
};

// A new CA folder whose own key is of that kind (CryptoPro-A set for 2001 and
// 2012-256 keys, TC26-512-A for 2012-512 keys).
bool InitCaDir(const std::string &dir, KeyKind kind, std::string &error);
bool LoadCa(const std::string &dir, Ca &ca, std::string &error);

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
