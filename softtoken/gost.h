// GOST R 34.10-2001 and GOST R 34.10-2012 (256 and 512 bits) with their
// digests, GOST R 34.11-94 (CryptoPro parameters) and GOST R 34.11-2012
// (Streebog), through libgcrypt, in the byte orders that certificates, CMS
// and PKCS#11 use (n is 32 for 2001 and 2012-256 keys, 64 for 2012-512):
//   public key   X then Y, n bytes each, little-endian (CKA_VALUE and the
//                OCTET STRING inside a certificate's key BIT STRING);
//   private key  n bytes, little-endian;
//   digest       the bytes as the hash function produces them;
//   signature    s then r, n bytes each, big-endian.
#pragma once

#include <cstddef>
#include <string>

enum class GostKind { R2001, R2012_256, R2012_512 };

// The size in bytes of one coordinate, a private value and half a signature.
size_t GostSize(GostKind kind);

// curve: libgcrypt's name of the key's curve.
bool GostGenerateKeyPair(GostKind kind, const char *curve, std::string &publicValue, std::string &privateValue);
// GOST R 34.11-94 for 2001 keys, Streebog of the key's size for 2012 keys.
std::string GostDigest(GostKind kind, const std::string &data);
bool GostSign(GostKind kind, const char *curve, const std::string &privateValue, const std::string &digest,
              std::string &signature);
