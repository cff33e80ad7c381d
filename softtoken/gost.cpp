#include "softtoken/gost.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

// libgcrypt's entropy gatherer on Windows reports missing disk statistics on
// stderr; the token has no console to talk to.
static void QuietLog(void *, int level, const char *format, va_list args)
{
    if (level >= GCRY_LOG_ERROR)
        vfprintf(stderr, format, args);
}

static void InitialiseGcrypt()
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

static std::string Reversed(std::string bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// A big-endian number as exactly `size` bytes; false if it does not fit.
static bool FixedBytes(gcry_mpi_t number, size_t size, std::string &bytes)
{
    unsigned char buffer[128];
    size_t written = 0;
    if (gcry_mpi_print(GCRYMPI_FMT_USG, buffer, sizeof buffer, &written, number) || written > size)
        return false;
    bytes.assign(size - written, '\0');
    bytes.append((const char *)buffer, written);
    return true;
}

static bool TokenBytes(gcry_sexp_t sexp, const char *name, std::string &bytes)
{
    gcry_sexp_t token = gcry_sexp_find_token(sexp, name, 0);
    if (!token)
        return false;
    size_t length = 0;
    const char *data = gcry_sexp_nth_data(token, 1, &length);
    if (data)
        bytes.assign(data, length);
    gcry_sexp_release(token);
    return data != nullptr;
}

static bool TokenNumber(gcry_sexp_t sexp, const char *name, size_t size, std::string &bytes)
{
    gcry_sexp_t token = gcry_sexp_find_token(sexp, name, 0);
    if (!token)
        return false;
    gcry_mpi_t number = gcry_sexp_nth_mpi(token, 1, GCRYMPI_FMT_USG);
    gcry_sexp_release(token);
    if (!number)
        return false;
    bool ok = FixedBytes(number, size, bytes);
    gcry_mpi_release(number);
    return ok;
}

size_t GostSize(GostKind kind)
{
    return kind == GostKind::R2012_512 ? 64 : 32;
}

// libgcrypt gives the point as 04 || X || Y, big-endian.
static bool PublicFromPoint(const std::string &point, size_t size, std::string &publicValue)
{
    if (point.size() != 2 * size + 1 || point[0] != 4)
        return false;
    publicValue = Reversed(point.substr(1, size)) + Reversed(point.substr(1 + size, size));
    return true;
}

bool GostGenerateKeyPair(GostKind kind, const char *curve, std::string &publicValue, std::string &privateValue)
{
    InitialiseGcrypt();
    size_t size = GostSize(kind);
    gcry_sexp_t parameters = nullptr, key = nullptr;
    if (gcry_sexp_build(&parameters, nullptr, "(genkey (ecc (curve %s)))", curve))
        return false;
    gcry_error_t error = gcry_pk_genkey(&key, parameters);
    gcry_sexp_release(parameters);
    if (error)
        return false;
    std::string point, secret;
    bool ok = TokenBytes(key, "q", point) && TokenNumber(key, "d", size, secret) &&
              PublicFromPoint(point, size, publicValue);
    gcry_sexp_release(key);
    if (ok)
        privateValue = Reversed(secret);
    return ok;
}

std::string GostDigest(GostKind kind, const std::string &data)
{
    InitialiseGcrypt();
    int algorithm = kind == GostKind::R2001       ? GCRY_MD_GOSTR3411_CP
                    : kind == GostKind::R2012_256 ? GCRY_MD_STRIBOG256
                                                  : GCRY_MD_STRIBOG512;
    std::string digest(gcry_md_get_algo_dlen(algorithm), '\0');
    gcry_md_hash_buffer(algorithm, &digest[0], data.data(), data.size());
    return digest;
}

// The signature scheme reads the digest as a little-endian number, while
// libgcrypt's (flags gost) data reads its value big-endian.
static gcry_sexp_t DigestData(const std::string &digest)
{
    std::string number = Reversed(digest);
    gcry_sexp_t data = nullptr;
    if (gcry_sexp_build(&data, nullptr, "(data (flags gost) (value %b))", (int)number.size(), number.data()))
        return nullptr;
    return data;
}

bool GostSign(GostKind kind, const char *curve, const std::string &privateValue, const std::string &digest,
              std::string &signature)
{
    InitialiseGcrypt();
    size_t size = GostSize(kind);
    if (privateValue.size() != size || digest.size() != size)
        return false;
    std::string secret = Reversed(privateValue);
    gcry_sexp_t key = nullptr, data = DigestData(digest), result = nullptr;
    bool ok = data && !gcry_sexp_build(&key, nullptr, "(private-key (ecc (curve %s) (d %b)))", curve,
                                       (int)secret.size(), secret.data());
    ok = ok && !gcry_pk_sign(&result, data, key);
    std::string r, s;
    ok = ok && TokenNumber(result, "r", size, r) && TokenNumber(result, "s", size, s);
    if (ok)
        signature = s + r;
    gcry_sexp_release(key);
    gcry_sexp_release(data);
    gcry_sexp_release(result);
    return ok;
}
