// Owning handles for OpenSSL objects and the few helpers every part uses.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

template <typename T, void (*Free)(T *)>
struct OsslDeleter {
  void operator()(T *p) const { Free(p); }
};
template <typename T, void (*Free)(T *)>
using OsslPtr = std::unique_ptr<T, OsslDeleter<T, Free>>;

using X509Ptr = OsslPtr<X509, X509_free>;
using X509ReqPtr = OsslPtr<X509_REQ, X509_REQ_free>;
using X509NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;
using X509ExtPtr = OsslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using X509StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;
using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using BioPtr = OsslPtr<BIO, BIO_free_all>;
using BnPtr = OsslPtr<BIGNUM, BN_free>;
using CmsPtr = OsslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using Asn1ObjPtr = OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;

using Bytes = std::vector<unsigned char>;

// Loads the GOST engine and makes it the default for its algorithms, so
// GOST keys, digests and CMS work through the ordinary EVP calls.
bool InitGost(std::string &error);

// The kinds of GOST key: GOST R 34.10-2001, GOST R 34.10-2012 with 256 and
// with 512 bits.
enum class KeyKind { R2001, R2012_256, R2012_512 };

// "2001", "2012-256" or "2012-512"; false for anything else.
bool ParseKeyKind(const std::string &text, KeyKind &kind);

// A fresh GOST key pair of that kind on the parameter set the GOST engine
// calls paramset (2001: A B C XA XB; 2012-256: also TCA TCB TCC TCD; 2012-512:
// A B C); null when the engine refuses it.
PkeyPtr NewGostKey(KeyKind kind, const std::string &paramset);

// A fresh key pair of the same kind and parameter set as key.
PkeyPtr NewKeyLike(EVP_PKEY *key);

// The digest that goes with a signing key: GOST R 34.11-94 for a 2001 key,
// Streebog of the key's size for a 2012 key; null for any other key.
const EVP_MD *DigestFor(EVP_PKEY *key);

// Everything on OpenSSL's error queue of this thread as one line (and clears it).
std::string OsslErrors();

// A serial number as OpenSSL prints it: upper-case hex, two digits a byte.
std::string SerialHex(const ASN1_INTEGER *serial);
std::string SerialHex(const BIGNUM *serial);

// Reads hex text as a positive serial of 1 to 20 bytes; null if it is not one.
BnPtr ParseSerial(const std::string &hex);

// A certificate's DER encoding.
Bytes CertDer(X509 *cert);

bool ReadFile(const std::string &path, Bytes &data);
// Writes through a temporary file and a rename, so a reader never sees half a file.
bool WriteFileAtomic(const std::string &path, const void *data, size_t size, int mode = 0644);
