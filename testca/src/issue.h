// Making certificates signed by the CA key (also the CA's own, self-signed).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "ossl.h"

struct Ca;

// One extension: either OpenSSL configuration text (name and value, e.g.
// "keyUsage", "critical,digitalSignature") or a ready extension copied as it is.
struct ExtItem {
  std::string name;
  std::string value;
  X509_EXTENSION *ready = nullptr;
};

// What a certificate to be issued carries.
struct CertOrder {
  X509_NAME *subject = nullptr;
  EVP_PKEY *publicKey = nullptr;
  const BIGNUM *serial = nullptr;
  time_t notBefore = 0;
  time_t notAfter = 0;
  std::vector<ExtItem> extensions;
};

// A v3 certificate signed by ca.key with the digest of its kind (GOST R
// 34.11-94 for a 2001 key, Streebog of the key's size for a 2012 key). A Ca
// without a certificate makes a self-signed one (the issuer is the subject).
X509Ptr IssueCertificate(const Ca &ca, const CertOrder &order, std::string &error);

// The caIssuers URL (Authority Information Access) of what issuer signs:
// http://127.0.0.1:PORT/KEYID.der, KEYID its key identifier in upper-case
// hex, PORT its folder's HTTP port; serve answers there with its certificate.
// With urls above 1, that URL comes last, after urls - 1 of the same server
// at paths nobody publishes.
ExtItem CaIssuersOf(const Ca &issuer, int urls = 1);

// The path of that URL for a certificate: /KEYID.der (empty without one).
std::string PublishedPath(X509 *cert);

// The same time N calendar months later (earlier when negative); a day that
// the target month lacks becomes its last day (31 January + 1 month = 28/29 February).
time_t AddMonths(time_t when, int months);

// YYYYMMDDHHMMSSZ (UTC), or relative to now: +N/-N with s, min, h, d, mon or y.
bool ParseTimeArg(const std::string &text, time_t now, time_t &result);
