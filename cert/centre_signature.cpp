// The arithmetic of a certificate's signature. GOST R 34.10 signatures are
// checked with libgcrypt, both under an issuer certificate's key and under
// the key that signed another certificate, which that certificate's own
// signature gives away; other algorithms go to crypt32. Nothing else of the
// program includes gcrypt.h.
#include "cert/centre_signature.h"

#include "cert/decoded.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct MpiFree {
    void operator()(gcry_mpi_t number) const { gcry_mpi_release(number); }
};
struct PointFree {
    void operator()(gcry_mpi_point_t point) const { gcry_mpi_point_release(point); }
};
struct ContextFree {
    void operator()(gcry_ctx_t context) const { gcry_ctx_release(context); }
};
struct SexpFree {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Mpi = std::unique_ptr<gcry_mpi, MpiFree>;
using Point = std::unique_ptr<gcry_mpi_point, PointFree>;
using Context = std::unique_ptr<gcry_context, ContextFree>;
using Sexp = std::unique_ptr<gcry_sexp, SexpFree>;

// The signature algorithms of GOST R 34.10 with their digests, and the size
// of r and s (and of the curve's numbers).
struct GostAlgorithm {
    const char *signatureOid;
    int digest;
    size_t size;
};
const GostAlgorithm gostAlgorithms[] = {
    {"1.2.643.2.2.3", GCRY_MD_GOSTR3411_CP, 32},     // GOST R 34.10-2001 with GOST R 34.11-94
    {"1.2.643.7.1.1.3.2", GCRY_MD_STRIBOG256, 32},   // GOST R 34.10-2012, 256 bits
    {"1.2.643.7.1.1.3.3", GCRY_MD_STRIBOG512, 64},   // GOST R 34.10-2012, 512 bits
};

// The curves an accredited centre signs on, by size: a certificate does not
// name its issuer's curve, so the signer's key is looked for on each.
const char *const curves256[] = {"GOST2001-CryptoPro-A", "GOST2001-CryptoPro-B", "GOST2001-CryptoPro-C",
                                 "GOST2012-256-A"};
const char *const curves512[] = {"GOST2012-512-tc26-A", "GOST2012-512-tc26-B", "GOST2012-512-tc26-C"};

// An issuer certificate's parameter set names its curve. XchA and XchB are
// the CryptoPro-A and -C curves, TC26-256-B to D the CryptoPro A to C curves.
const struct {
    const char *oid, *curve;
} paramSetCurves[] = {
    {"1.2.643.2.2.35.1", "GOST2001-CryptoPro-A"},    {"1.2.643.2.2.35.2", "GOST2001-CryptoPro-B"},
    {"1.2.643.2.2.35.3", "GOST2001-CryptoPro-C"},    {"1.2.643.2.2.36.0", "GOST2001-CryptoPro-A"},
    {"1.2.643.2.2.36.1", "GOST2001-CryptoPro-C"},    {"1.2.643.7.1.2.1.1.1", "GOST2012-256-A"},
    {"1.2.643.7.1.2.1.1.2", "GOST2001-CryptoPro-A"}, {"1.2.643.7.1.2.1.1.3", "GOST2001-CryptoPro-B"},
    {"1.2.643.7.1.2.1.1.4", "GOST2001-CryptoPro-C"}, {"1.2.643.7.1.2.1.2.1", "GOST2012-512-tc26-A"},
    {"1.2.643.7.1.2.1.2.2", "GOST2012-512-tc26-B"},  {"1.2.643.7.1.2.1.2.3", "GOST2012-512-tc26-C"},
};

const char *const gostKeyOids[] = {"1.2.643.2.2.19", "1.2.643.7.1.1.1.1", "1.2.643.7.1.1.1.2"};

// libgcrypt's entropy gatherer on Windows reports missing disk statistics:
// only errors are worth a line.
void QuietLog(void *, int level, const char *format, va_list args)
{
    if (level >= GCRY_LOG_ERROR)
        vfprintf(stderr, format, args);
}

void InitialiseGcrypt()
{
    static std::once_flag once;
    std::call_once(once, [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        gcry_set_log_handler(QuietLog, nullptr);
#pragma GCC diagnostic pop
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

// What a GOST signature on a certificate says: the digest of its
// to-be-signed part, and r and s (big-endian, `size` bytes each).
struct GostSignature {
    size_t size = 0;
    std::string digest, r, s;
};

const GostAlgorithm *GostAlgorithmOf(PCCERT_CONTEXT certificate)
{
    const char *oid = certificate->pCertInfo->SignatureAlgorithm.pszObjId;
    for (const GostAlgorithm &algorithm : gostAlgorithms)
        if (oid && std::strcmp(oid, algorithm.signatureOid) == 0)
            return &algorithm;
    return nullptr;
}

// False when the certificate is not signed with GOST R 34.10 or its
// signature value is not the size of its algorithm.
bool ReadGostSignature(PCCERT_CONTEXT certificate, GostSignature &signature)
{
    const GostAlgorithm *algorithm = GostAlgorithmOf(certificate);
    if (!algorithm)
        return false;
    // The signature value exactly as it stands (crypt32 would reverse it).
    Decoded<CERT_SIGNED_CONTENT_INFO> signedContent =
        Decode<CERT_SIGNED_CONTENT_INFO>(X509_CERT, certificate->pbCertEncoded, certificate->cbCertEncoded,
                                         CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG);
    // The algorithm outside the signed part must be the one inside it.
    if (!signedContent || !signedContent->SignatureAlgorithm.pszObjId ||
        std::strcmp(signedContent->SignatureAlgorithm.pszObjId, algorithm->signatureOid) != 0 ||
        signedContent->Signature.cbData != 2 * algorithm->size || signedContent->Signature.cUnusedBits != 0)
        return false;
    const char *value = reinterpret_cast<const char *>(signedContent->Signature.pbData);
    // GOST R 34.10 writes s, then r.
    signature.size = algorithm->size;
    signature.s.assign(value, algorithm->size);
    signature.r.assign(value + algorithm->size, algorithm->size);
    signature.digest.assign(gcry_md_get_algo_dlen(algorithm->digest), '\0');
    gcry_md_hash_buffer(algorithm->digest, &signature.digest[0], signedContent->ToBeSigned.pbData,
                        signedContent->ToBeSigned.cbData);
    return true;
}

Mpi BigEndianNumber(const std::string &bytes)
{
    gcry_mpi_t number = nullptr;
    if (gcry_mpi_scan(&number, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr))
        return nullptr;
    return Mpi(number);
}

Mpi NewNumber()
{
    return Mpi(gcry_mpi_new(0));
}

// The numbers of one curve that the equations need.
struct Curve {
    Context context;
    Mpi p, a, b, q;
    Point g;
    bool cofactorOne = true;
};

bool OpenCurve(const char *name, Curve &curve)
{
    gcry_ctx_t context = nullptr;
    if (gcry_mpi_ec_new(&context, nullptr, name))
        return false;
    curve.context.reset(context);
    curve.p.reset(gcry_mpi_ec_get_mpi("p", context, 1));
    curve.a.reset(gcry_mpi_ec_get_mpi("a", context, 1));
    curve.b.reset(gcry_mpi_ec_get_mpi("b", context, 1));
    curve.q.reset(gcry_mpi_ec_get_mpi("n", context, 1));
    curve.g.reset(gcry_mpi_ec_get_point("g", context, 1));
    Mpi cofactor(gcry_mpi_ec_get_mpi("h", context, 1));
    curve.cofactorOne = !cofactor || gcry_mpi_cmp_ui(cofactor.get(), 1) == 0;
    return curve.p && curve.a && curve.b && curve.q && curve.g;
}

// A signature's numbers on one curve: e is the digest read as a
// little-endian number mod q (0 taken as 1). False when r or s is not in 1..q-1.
struct SignatureNumbers {
    Mpi e, r, s;
};

bool NumbersOn(const Curve &curve, const GostSignature &signature, SignatureNumbers &numbers)
{
    std::string littleEndian(signature.digest.rbegin(), signature.digest.rend());
    numbers.e = BigEndianNumber(littleEndian);
    numbers.r = BigEndianNumber(signature.r);
    numbers.s = BigEndianNumber(signature.s);
    if (!numbers.e || !numbers.r || !numbers.s)
        return false;
    gcry_mpi_mod(numbers.e.get(), numbers.e.get(), curve.q.get());
    if (gcry_mpi_cmp_ui(numbers.e.get(), 0) == 0)
        gcry_mpi_set_ui(numbers.e.get(), 1);
    return gcry_mpi_cmp_ui(numbers.r.get(), 0) > 0 && gcry_mpi_cmp(numbers.r.get(), curve.q.get()) < 0 &&
           gcry_mpi_cmp_ui(numbers.s.get(), 0) > 0 && gcry_mpi_cmp(numbers.s.get(), curve.q.get()) < 0;
}

// A square root of value mod the prime p (Tonelli and Shanks: CryptoPro-B's p
// is 1 mod 8); false when there is none.
bool SquareRoot(gcry_mpi_t value, gcry_mpi_t p, gcry_mpi_t root)
{
    if (gcry_mpi_cmp_ui(value, 0) == 0) {
        gcry_mpi_set_ui(root, 0);
        return true;
    }
    Mpi one(gcry_mpi_set_ui(nullptr, 1)), pMinusOne = NewNumber(), exponent = NewNumber(), test = NewNumber();
    gcry_mpi_sub_ui(pMinusOne.get(), p, 1);
    gcry_mpi_rshift(exponent.get(), pMinusOne.get(), 1);
    gcry_mpi_powm(test.get(), value, exponent.get(), p);
    if (gcry_mpi_cmp_ui(test.get(), 1) != 0)
        return false;
    // p - 1 = oddPart * 2^twos
    unsigned twos = 0;
    while (!gcry_mpi_test_bit(pMinusOne.get(), twos))
        twos++;
    Mpi oddPart = NewNumber();
    gcry_mpi_rshift(oddPart.get(), pMinusOne.get(), twos);
    Mpi z(gcry_mpi_set_ui(nullptr, 2));
    for (;; gcry_mpi_add_ui(z.get(), z.get(), 1)) {
        gcry_mpi_powm(test.get(), z.get(), exponent.get(), p);
        if (gcry_mpi_cmp(test.get(), pMinusOne.get()) == 0)
            break;
    }
    Mpi c = NewNumber(), t = NewNumber(), halfOddPlusOne = NewNumber(), b = NewNumber();
    gcry_mpi_powm(c.get(), z.get(), oddPart.get(), p);
    gcry_mpi_powm(t.get(), value, oddPart.get(), p);
    gcry_mpi_add_ui(halfOddPlusOne.get(), oddPart.get(), 1);
    gcry_mpi_rshift(halfOddPlusOne.get(), halfOddPlusOne.get(), 1);
    gcry_mpi_powm(root, value, halfOddPlusOne.get(), p);
    unsigned m = twos;
    while (gcry_mpi_cmp_ui(t.get(), 1) != 0) {
        unsigned i = 0;
        gcry_mpi_set(test.get(), t.get());
        while (gcry_mpi_cmp_ui(test.get(), 1) != 0 && i < m) {
            gcry_mpi_mulm(test.get(), test.get(), test.get(), p);
            i++;
        }
        if (i == m)
            return false;
        gcry_mpi_set(b.get(), c.get());
        for (unsigned k = 0; k + i + 1 < m; k++)
            gcry_mpi_mulm(b.get(), b.get(), b.get(), p);
        m = i;
        gcry_mpi_mulm(c.get(), b.get(), b.get(), p);
        gcry_mpi_mulm(t.get(), t.get(), c.get(), p);
        gcry_mpi_mulm(root, root, b.get(), p);
    }
    gcry_mpi_mulm(test.get(), root, root, p);
    return gcry_mpi_cmp(test.get(), value) == 0;
}

// True when point is not at infinity and its x is r mod q.
bool XIsR(const Curve &curve, gcry_mpi_point_t point, gcry_mpi_t r)
{
    Mpi x = NewNumber();
    if (gcry_mpi_ec_get_affine(x.get(), nullptr, point, curve.context.get()) != 0)
        return false;
    gcry_mpi_mod(x.get(), x.get(), curve.q.get());
    return gcry_mpi_cmp(x.get(), r) == 0;
}

// Whether fresh verifies under the key that made the known signature, on
// this curve. That key is Q = rk⁻¹·(sk·G − ek·C) for a point C of the
// subgroup with x(C) ≡ rk (mod q). Verification of fresh computes
// R = z1·G + z2·Q with v = e⁻¹, z1 = s·v, z2 = −r·v and accepts when
// x(R) ≡ r; with Q put in, R = u1·G + u2·C where u1 = z1 + z2·sk/rk and
// u2 = r·v·ek/rk. C and −C share u1·G: two multiplications for both.
bool FreshSignedByKnownSigner(const Curve &curve, const SignatureNumbers &known, const SignatureNumbers &fresh)
{
    gcry_mpi_t q = curve.q.get(), p = curve.p.get();
    Mpi v = NewNumber(), rkInverse = NewNumber(), z1 = NewNumber(), rv = NewNumber(), u1 = NewNumber(),
        u2 = NewNumber(), term = NewNumber();
    if (!gcry_mpi_invm(v.get(), fresh.e.get(), q) || !gcry_mpi_invm(rkInverse.get(), known.r.get(), q))
        return false;
    gcry_mpi_mulm(z1.get(), fresh.s.get(), v.get(), q);
    gcry_mpi_mulm(rv.get(), fresh.r.get(), v.get(), q);
    // u1 = z1 − r·v·sk/rk
    gcry_mpi_mulm(term.get(), rv.get(), known.s.get(), q);
    gcry_mpi_mulm(term.get(), term.get(), rkInverse.get(), q);
    gcry_mpi_subm(u1.get(), z1.get(), term.get(), q);
    // u2 = r·v·ek/rk
    gcry_mpi_mulm(u2.get(), rv.get(), known.e.get(), q);
    gcry_mpi_mulm(u2.get(), u2.get(), rkInverse.get(), q);

    gcry_ctx_t context = curve.context.get();
    Point a(gcry_mpi_point_new(0));
    gcry_mpi_ec_mul(a.get(), u1.get(), curve.g.get(), context);
    Mpi x(gcry_mpi_copy(known.r.get())), ySquared = NewNumber(), y = NewNumber(), z(gcry_mpi_set_ui(nullptr, 1));
    // x(C) may be rk + k·q for every k that keeps it below p.
    for (; gcry_mpi_cmp(x.get(), p) < 0; gcry_mpi_add(x.get(), x.get(), q)) {
        // y² = x³ + a·x + b
        gcry_mpi_mulm(ySquared.get(), x.get(), x.get(), p);
        gcry_mpi_addm(ySquared.get(), ySquared.get(), curve.a.get(), p);
        gcry_mpi_mulm(ySquared.get(), ySquared.get(), x.get(), p);
        gcry_mpi_addm(ySquared.get(), ySquared.get(), curve.b.get(), p);
        if (!SquareRoot(ySquared.get(), p, y.get()))
            continue;
        Point c(gcry_mpi_point_set(nullptr, x.get(), y.get(), z.get()));
        if (!gcry_mpi_ec_curve_point(c.get(), context))
            continue;
        Point b(gcry_mpi_point_new(0)), r(gcry_mpi_point_new(0));
        if (!curve.cofactorOne) {
            // Only a point of the signing subgroup can be the one a signer made.
            gcry_mpi_ec_mul(b.get(), q, c.get(), context);
            Mpi ignored = NewNumber();
            if (gcry_mpi_ec_get_affine(ignored.get(), nullptr, b.get(), context) == 0)
                continue;
        }
        gcry_mpi_ec_mul(b.get(), u2.get(), c.get(), context);
        gcry_mpi_ec_add(r.get(), a.get(), b.get(), context);
        if (XIsR(curve, r.get(), fresh.r.get()))
            return true;
        // libgcrypt cannot subtract on these curves: add −B = (x, p − y).
        Mpi bx = NewNumber(), by = NewNumber();
        if (gcry_mpi_ec_get_affine(bx.get(), by.get(), b.get(), context) != 0)
            continue;  // B is zero: A − B is A, already tried
        gcry_mpi_sub(by.get(), p, by.get());
        gcry_mpi_point_set(b.get(), bx.get(), by.get(), z.get());
        gcry_mpi_ec_add(r.get(), a.get(), b.get(), context);
        if (XIsR(curve, r.get(), fresh.r.get()))
            return true;
    }
    return false;
}

// Both signatures made by one key, on any curve of their size.
bool SignedBySameKey(const GostSignature &known, const GostSignature &fresh)
{
    if (known.size != fresh.size)
        return false;
    const char *const *names = known.size == 32 ? curves256 : curves512;
    size_t count = known.size == 32 ? sizeof curves256 / sizeof *curves256 : sizeof curves512 / sizeof *curves512;
    for (size_t i = 0; i < count; i++) {
        Curve curve;
        SignatureNumbers knownNumbers, freshNumbers;
        if (OpenCurve(names[i], curve) && NumbersOn(curve, known, knownNumbers) &&
            NumbersOn(curve, fresh, freshNumbers) && FreshSignedByKnownSigner(curve, knownNumbers, freshNumbers))
            return true;
    }
    return false;
}

// The OID text that an encoded OBJECT IDENTIFIER holds; empty when it is none.
std::string OidText(const BYTE *data, DWORD size)
{
    Decoded<LPSTR> oid = Decode<LPSTR>(X509_OBJECT_IDENTIFIER, data, size);
    return oid && *oid ? std::string(*oid) : std::string();
}

// The curve of a GOST key certificate and its public point as libgcrypt
// takes it: 04, X, Y big-endian (the certificate holds them little-endian).
bool ReadGostKey(PCCERT_CONTEXT issuer, size_t size, const char *&curveName, std::string &point)
{
    const CERT_PUBLIC_KEY_INFO &key = issuer->pCertInfo->SubjectPublicKeyInfo;
    bool gostKey = false;
    for (const char *oid : gostKeyOids)
        gostKey = gostKey || (key.Algorithm.pszObjId && std::strcmp(key.Algorithm.pszObjId, oid) == 0);
    if (!gostKey)
        return false;
    // Parameters: SEQUENCE { publicKeyParamSet, digestParamSet OPTIONAL }.
    Decoded<CRYPT_SEQUENCE_OF_ANY> parameters = Decode<CRYPT_SEQUENCE_OF_ANY>(
        X509_SEQUENCE_OF_ANY, key.Algorithm.Parameters.pbData, key.Algorithm.Parameters.cbData);
    if (!parameters || parameters->cValue < 1)
        return false;
    std::string paramSet = OidText(parameters->rgValue[0].pbData, parameters->rgValue[0].cbData);
    curveName = nullptr;
    for (const auto &set : paramSetCurves)
        if (paramSet == set.oid)
            curveName = set.curve;
    bool wideCurve = curveName && std::strncmp(curveName, "GOST2012-512", 12) == 0;
    if (!curveName || wideCurve != (size == 64))
        return false;
    Decoded<CRYPT_DATA_BLOB> value =
        Decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, key.PublicKey.pbData, key.PublicKey.cbData);
    if (!value || value->cbData != 2 * size)
        return false;
    std::string x(reinterpret_cast<const char *>(value->pbData), size);
    std::string y(reinterpret_cast<const char *>(value->pbData) + size, size);
    point = "\x04" + std::string(x.rbegin(), x.rend()) + std::string(y.rbegin(), y.rend());
    return true;
}

// A GOST signature verifies under the issuer certificate's key.
bool VerifiesUnderKey(PCCERT_CONTEXT issuer, const GostSignature &fresh)
{
    const char *curveName = nullptr;
    std::string point;
    if (!ReadGostKey(issuer, fresh.size, curveName, point))
        return false;
    // The scheme reads the digest as a little-endian number; libgcrypt's
    // (flags gost) value is read big-endian.
    std::string digest(fresh.digest.rbegin(), fresh.digest.rend());
    gcry_sexp_t key = nullptr, data = nullptr, signature = nullptr;
    gcry_sexp_build(&key, nullptr, "(public-key (ecc (curve %s) (q %b)))", curveName, (int)point.size(),
                    point.data());
    Sexp keyHolder(key);
    gcry_sexp_build(&data, nullptr, "(data (flags gost) (value %b))", (int)digest.size(), digest.data());
    Sexp dataHolder(data);
    gcry_sexp_build(&signature, nullptr, "(sig-val (gost (r %b) (s %b)))", (int)fresh.r.size(), fresh.r.data(),
                    (int)fresh.s.size(), fresh.s.data());
    Sexp signatureHolder(signature);
    return key && data && signature && gcry_pk_verify(signature, data, key) == 0;
}

}  // namespace

bool SignedUnderKeyOf(PCCERT_CONTEXT certificate, PCCERT_CONTEXT issuer)
{
    if (!certificate || !issuer)
        return false;
    InitialiseGcrypt();
    GostSignature signature;
    if (ReadGostSignature(certificate, signature))
        return VerifiesUnderKey(issuer, signature);
    if (GostAlgorithmOf(certificate))
        return false;  // a GOST signature of the wrong size, or named two ways
    return CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                             const_cast<CERT_CONTEXT *>(certificate),
                                             CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT *>(issuer), 0,
                                             nullptr) != FALSE;
}

bool SignedBySignerOf(PCCERT_CONTEXT certificate, PCCERT_CONTEXT known)
{
    if (!certificate || !known)
        return false;
    InitialiseGcrypt();
    GostSignature fresh, knownSignature;
    return ReadGostSignature(certificate, fresh) && ReadGostSignature(known, knownSignature) &&
           SignedBySameKey(knownSignature, fresh);
}
