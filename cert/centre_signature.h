// Whether a certificate that came for the holder was signed by the holder's
// centre: the renewal and the writing command ask before the holder's
// working key and certificate are touched. Nothing else of the program knows
// how a signature is checked.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

// True when newCertificate's signature verifies under one of these keys:
//  - the key that signed one of signedByCentre (certificates of the same
//    issuer name, such as the holder's current one): for GOST R 34.10 the
//    key is computed from that certificate's own signature;
//  - the key of an issuer certificate found by newCertificate's issuer name
//    (and its authority key identifier where both carry one) among
//    tokenCertificates, then in the current user's and the machine's "CA",
//    "Root" and "My" stores.
// A GOST R 34.10 signature (2001 with GOST R 34.11-94, 2012 with Streebog)
// is checked here; another algorithm's by crypt32 under an issuer
// certificate. A certificate is never its own witness: newCertificate in
// signedByCentre counts for nothing. The two lists may be the same; either
// may be empty. Safe on any thread.
bool CentreSignedCertificate(PCCERT_CONTEXT newCertificate,
                             const PCCERT_CONTEXT *signedByCentre, size_t signedByCentreCount,
                             const PCCERT_CONTEXT *tokenCertificates, size_t tokenCertificateCount);
