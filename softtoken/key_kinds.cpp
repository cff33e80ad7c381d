#include "softtoken/key_kinds.h"

#include "softtoken/der.h"

// The engine that certification centres run names the digest in a 2012
// key's parameters for the CryptoPro sets and TC26-512-A/B only. XchA and
// XchB are the CryptoPro-A and -C curves; TC26-256-B to D are the CryptoPro
// A to C curves under the TC26 names. libgcrypt finds TC26-256-A by its name
// alone, not by its OID.
static const ParamSet paramSets[] = {
    {"1.2.643.2.2.35.1", "GOST2001-CryptoPro-A", false, true, true},
    {"1.2.643.2.2.35.2", "GOST2001-CryptoPro-B", false, true, true},
    {"1.2.643.2.2.35.3", "GOST2001-CryptoPro-C", false, true, true},
    {"1.2.643.2.2.36.0", "GOST2001-CryptoPro-A", false, true, true},
    {"1.2.643.2.2.36.1", "GOST2001-CryptoPro-C", false, true, true},
    {"1.2.643.7.1.2.1.1.1", "GOST2012-256-A", false, false, false},
    {"1.2.643.7.1.2.1.1.2", "GOST2001-CryptoPro-A", false, false, false},
    {"1.2.643.7.1.2.1.1.3", "GOST2001-CryptoPro-B", false, false, false},
    {"1.2.643.7.1.2.1.1.4", "GOST2001-CryptoPro-C", false, false, false},
    {"1.2.643.7.1.2.1.2.1", "GOST2012-512-tc26-A", true, false, true},
    {"1.2.643.7.1.2.1.2.2", "GOST2012-512-tc26-B", true, false, true},
    {"1.2.643.7.1.2.1.2.3", "GOST2012-512-tc26-C", true, false, false},
};

const std::string cryptoProA = der::Oid("1.2.643.2.2.35.1");

// The identifiers of each kind, in the order of GostKind: key algorithm,
// digest parameters, signature algorithm.
static const struct {
    const char *key, *hash, *signature;
} kindOids[] = {
    {"1.2.643.2.2.19", "1.2.643.2.2.30.1", "1.2.643.2.2.3"},
    {"1.2.643.7.1.1.1.1", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.3.2"},
    {"1.2.643.7.1.1.1.2", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.3.3"},
};

const char *KeyAlgorithmOid(GostKind kind)
{
    return kindOids[(int)kind].key;
}

const char *HashParamsOid(GostKind kind)
{
    return kindOids[(int)kind].hash;
}

const char *SignatureAlgorithmOid(GostKind kind)
{
    return kindOids[(int)kind].signature;
}

// CMS names GOST R 34.11-94 itself, not its parameters; Streebog's
// identifiers are the same in both places.
const char *DigestAlgorithmOid(GostKind kind)
{
    return kind == GostKind::R2001 ? "1.2.643.2.2.9" : HashParamsOid(kind);
}

std::string HashParamsOf(GostKind kind)
{
    return der::Oid(HashParamsOid(kind));
}

static const ParamSet *FindParamSet(const std::string &encoded)
{
    for (const ParamSet &set : paramSets)
        if (der::Oid(set.oid) == encoded)
            return &set;
    return nullptr;
}

CK_RV ResolveKey(CK_KEY_TYPE keyType, const std::string &params, const std::string &hash, GostKey &key)
{
    const ParamSet *set = FindParamSet(params);
    bool wide = keyType == CKK_GOSTR3410_512;
    if (!set || set->wide != wide)
        return CKR_DOMAIN_PARAMS_INVALID;
    if (!hash.empty() && hash != HashParamsOf(GostKind::R2001) && hash != HashParamsOf(GostKind::R2012_256) &&
        hash != HashParamsOf(GostKind::R2012_512))
        return CKR_DOMAIN_PARAMS_INVALID;
    if (wide)
        key.kind = GostKind::R2012_512;
    else if (hash == HashParamsOf(GostKind::R2012_256))
        key.kind = GostKind::R2012_256;
    else
        key.kind = GostKind::R2001;
    if (!hash.empty() && hash != HashParamsOf(key.kind))
        return CKR_TEMPLATE_INCONSISTENT;
    if (key.kind == GostKind::R2001 && !set->cryptoPro)
        return CKR_TEMPLATE_INCONSISTENT;
    key.params = set;
    return CKR_OK;
}

bool KeyOf(const StoredObject &object, GostKey &key)
{
    CK_KEY_TYPE keyType = object.GetUlong(CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION);
    CK_OBJECT_CLASS objectClass = object.GetUlong(CKA_CLASS, CK_UNAVAILABLE_INFORMATION);
    if ((keyType != CKK_GOSTR3410 && keyType != CKK_GOSTR3410_512) ||
        (objectClass != CKO_PUBLIC_KEY && objectClass != CKO_PRIVATE_KEY) ||
        ResolveKey(keyType, object.Get(CKA_GOSTR3410_PARAMS), object.Get(CKA_GOSTR3411_PARAMS), key) != CKR_OK)
        return false;
    size_t size = GostSize(key.kind) * (objectClass == CKO_PUBLIC_KEY ? 2 : 1);
    return object.Get(CKA_VALUE).size() == size;
}
