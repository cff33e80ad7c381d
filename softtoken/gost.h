// GOST R 34.10-2001 (CryptoPro-A parameters) and GOST R 34.11-94 (CryptoPro
// parameters) through libgcrypt, in the byte orders that certificates, CMS
// and PKCS#11 use:
//   public key   X then Y, 32 bytes each, little-endian (CKA_VALUE and the
//                OCTET STRING inside a certificate's key BIT STRING);
//   private key  32 bytes, little-endian;
//   digest       the 32 bytes as GOST R 34.11-94 produces them;
//   signature    s then r, 32 bytes each, big-endian.
#pragma once

#include <string>

bool GostGenerateKeyPair(std::string &publicValue, std::string &privateValue);
std::string GostDigest(const std::string &data);
// Signs a GOST R 34.11-94 digest.
bool GostSign(const std::string &privateValue, const std::string &digest, std::string &signature);
