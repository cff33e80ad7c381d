// Whether a certificate that came for the holder was signed by the holder's
// centre: the renewal and the writing command ask before the holder's
// working key and certificate are touched. Where the centre's certificates
// are looked for, and how far, is this unit's alone.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

// Called at most once by a check, just before it first waits on the network.
typedef void (*BeforeRetrieval)(void *context);

// True when newCertificate was signed:
//  a. by the key that signed one of signedByCentre (certificates of the same
//     issuer name, such as the holder's current one);
//  b. under the key of a centre certificate (basic constraints CA) named as
//     its issuer (by name, and key identifier where both carry one) among
//     tokenCertificates, or in the current user's and the machine's "CA",
//     "Root" and "My" stores;
//  c. under the key of a centre certificate of the holder's centre's name
//     (an issuer name of signedByCentre) fetched from newCertificate's
//     caIssuers URLs, when that certificate chains, through at most three
//     centre certificates found as in b or at their own caIssuers URLs, to an
//     anchor: a CA certificate in a "Root" store or a head centre's
//     certificate the program carries. Nothing fetched, on the token or in
//     "CA" or "My" is ever an anchor.
// Only c waits on the network: at most 4 retrievals over http, 64 KiB each,
// and 15 s for the whole check. A certificate is never its own witness. The
// two lists may be the same; either may be empty. beforeRetrieval, when
// given, is called with context before the first retrieval. Safe on any
// thread, but one that may wait on the network is no window's.
bool CentreSignedCertificate(PCCERT_CONTEXT newCertificate,
                             const PCCERT_CONTEXT *signedByCentre, size_t signedByCentreCount,
                             const PCCERT_CONTEXT *tokenCertificates, size_t tokenCertificateCount,
                             BeforeRetrieval beforeRetrieval = nullptr, void *context = nullptr);
