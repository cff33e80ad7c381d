// Whether one certificate's signature verifies under one key: the key of an
// issuer certificate, or the key that signed another certificate. Names,
// extensions and where a certificate came from are the caller's to weigh
// (centre_chain.h); nothing else of the program knows how a signature is
// checked.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// True when certificate's signature verifies under issuer's public key. A
// GOST R 34.10 signature (2001 with GOST R 34.11-94, 2012 with Streebog) is
// checked here, and only when the algorithm outside the signed part is the
// one inside it; another algorithm's by crypt32. Safe on any thread.
bool SignedUnderKeyOf(PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer);

// True when both carry GOST R 34.10 signatures of one size and certificate's
// verifies under the key that made known's: for GOST R 34.10 that key is
// computed from known's own signature, on each curve of its size. Safe on any
// thread.
bool SignedBySignerOf(PCCERT_CONTEXT certificate, PCCERT_CONTEXT known);
