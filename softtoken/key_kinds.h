// The GOST keys the token knows: GOST R 34.10-2001, and GOST R 34.10-2012
// with 256 and 512 bits, each on the parameter sets of its size, and the
// identifiers that describe them in templates, requests and messages.
#pragma once

#include "softtoken/gost.h"
#include "softtoken/store.h"

#include <p11-kit/pkcs11x.h>

struct ParamSet {
    const char *oid;       // dotted
    const char *curve;     // libgcrypt's name of the curve
    bool wide;             // a 512-bit set
    bool cryptoPro;        // a CryptoPro set: the only ones a 2001 key may have
    bool digestInKeyInfo;  // a 2012 key's SubjectPublicKeyInfo names the digest too
};

struct GostKey {
    GostKind kind = GostKind::R2001;
    const ParamSet *params = nullptr;
};

// DER of the CryptoPro-A parameter set, 1.2.643.2.2.35.1.
extern const std::string cryptoProA;

// The DER of the digest parameters that go with a kind (CKA_GOSTR3411_PARAMS).
std::string HashParamsOf(GostKind kind);

// The key that a key type with these domain parameters (DER; hash empty when
// not given) is: CKR_DOMAIN_PARAMS_INVALID for parameters the token does not
// know or a set of the other size, CKR_TEMPLATE_INCONSISTENT for a digest
// that does not go with the key type or the set.
CK_RV ResolveKey(CK_KEY_TYPE keyType, const std::string &params, const std::string &hash, GostKey &key);

// The key a stored key object holds; false when its attributes make none or
// its value has the wrong size.
bool KeyOf(const StoredObject &object, GostKey &key);

// Dotted OIDs: the key's algorithm, its digest parameters, the signature
// algorithm of requests and certificates, and the digest algorithm of CMS.
const char *KeyAlgorithmOid(GostKind kind);
const char *HashParamsOid(GostKind kind);
const char *SignatureAlgorithmOid(GostKind kind);
const char *DigestAlgorithmOid(GostKind kind);
