#include "softtoken/gost.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

static const char curveName[] = "GOST2001-CryptoPro-A";

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

// libgcrypt gives the point as 04 || X || Y, big-endian.
static bool PublicFromPoint(const std::string &point, std::string &publicValue)
{
    if (point.size() != 65 || point[0] != 4)
        return false;
    publicValue = Reversed(point.substr(1, 32)) + Reversed(point.substr(33, 32));
    return true;
}

bool GostGenerateKeyPair(std::string &publicValue, std::string &privateValue)
{
    InitialiseGcrypt();
    gcry_sexp_t parameters = nullptr, key = nullptr;
    if (gcry_sexp_build(&parameters, nullptr, "(genkey (ecc (curve %s)))", curveName))
        return false;
    gcry_error_t error = gcry_pk_genkey(&key, parameters);
    gcry_sexp_release(parameters);
    if (error)
        return false;
    std::string point, secret;
    bool ok = TokenBytes(key, "q", point) && TokenNumber(key, "d", 32, secret) &&
              PublicFromPoint(point, publicValue);
    gcry_sexp_release(key);
    if (ok)
        privateValue = Reversed(secret);
    return ok;
}

std::string GostDigest(const std::string &data)
{
    InitialiseGcrypt();
    unsigned char digest[32];
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, digest, data.data(), data.size());
    return std::string((const char *)digest, sizeof digest);
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

bool GostSign(const std::string &privateValue, const std::string &digest, std::string &signature)
{
    InitialiseGcrypt();
    if (privateValue.size() != 32 || digest.size() != 32)
        return false;
    std::string secret = Reversed(privateValue);
    gcry_sexp_t key = nullptr, data = DigestData(digest), result = nullptr;
    bool ok = data && !gcry_sexp_build(&key, nullptr, "(private-key (ecc (curve %s) (d %b)))", curveName,
                                       (int)secret.size(), secret.data());
    ok = ok && !gcry_pk_sign(&result, data, key);
    std::string r, s;
    ok = ok && TokenNumber(result, "r", 32, r) && TokenNumber(result, "s", 32, s);
    if (ok)
        signature = s + r;
    gcry_sexp_release(key);
    gcry_sexp_release(data);
    gcry_sexp_release(result);
    return ok;
}
