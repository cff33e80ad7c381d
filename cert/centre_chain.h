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
//  b. or else under the key of a certificate of the holder's centre's name
//     (an issuer name of signedByCentre), named as its issuer (by name, and
//     key identifier where both carry one), found among tokenCertificates,
//     in the current user's and the machine's "CA", "Root" and "My" stores,
//     or at newCertificate's caIssuers URLs, that is an anchor or chains to
//     one through at most two more centre certificates found the same way.
//     The anchors are the CA certificates of the "Root" stores and the head
//     centres' certificates the program carries; a certificate identical to
//     one of them is its own anchor, nothing else ever is. Every certificate
//     from the issuer up to and including the anchor is a CA (basic
//     constraints), valid now, has keyCertSign where it states a key usage,
//     and a path length, where it states one, of at least the centre
//     certificates between it and newCertificate (self-issued ones not
//     counted).
// Only b waits on the network: at most 4 retrievals over http, 64 KiB each,
// and 15 s for the whole check. A certificate is never its own witness. The
// two lists may be the same; either may be empty. beforeRetrieval, when
// given, is called with context before the first retrieval. Safe on any
// thread, but one that may wait on the network is no window's.
bool CentreSignedCertificate(PCCERT_CONTEXT newCertificate,
                             const PCCERT_CONTEXT *signedByCentre, size_t signedByCentreCount,
                             const PCCERT_CONTEXT *tokenCertificates, size_t tokenCertificateCount,
                             BeforeRetrieval beforeRetrieval = nullptr, void *context = nullptr);
