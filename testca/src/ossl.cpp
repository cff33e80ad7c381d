#include "ossl.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/objects.h>

bool InitGost(std::string &error) {
  static ENGINE *engine = nullptr;
  if (engine) return true;
  ENGINE_load_builtin_engines();
  ENGINE *e = ENGINE_by_id("gost");
  if (!e) {
    error = "the GOST engine is not available: " + OsslErrors();
    return false;
  }
  if (!ENGINE_init(e) || !ENGINE_set_default(e, ENGINE_METHOD_ALL)) {
    error = "the GOST engine does not start: " + OsslErrors();
    ENGINE_free(e);
    return false;
  }
  engine = e;
  return true;
}

bool ParseKeyKind(const std::string &text, KeyKind &kind) {
  if (text == "2001") kind = KeyKind::R2001;
  else if (text == "2012-256") kind = KeyKind::R2012_256;
  else if (text == "2012-512") kind = KeyKind::R2012_512;
  else return false;
  return true;
}

PkeyPtr NewGostKey(KeyKind kind, const std::string &paramset) {
  int nid = kind == KeyKind::R2001       ? NID_id_GostR3410_2001
            : kind == KeyKind::R2012_256 ? NID_id_GostR3410_2012_256
                                         : NID_id_GostR3410_2012_512;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(nid, nullptr);
  EVP_PKEY *key = nullptr;
  if (ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_ctrl_str(ctx, "paramset", paramset.c_str()) > 0)
    EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return PkeyPtr(key);
}

PkeyPtr NewKeyLike(EVP_PKEY *key) {
  // The engine takes the parameter set of the key the context is made from.
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY *fresh = nullptr;
  if (ctx && EVP_PKEY_keygen_init(ctx) > 0) EVP_PKEY_keygen(ctx, &fresh);
  EVP_PKEY_CTX_free(ctx);
  return PkeyPtr(fresh);
}

const EVP_MD *DigestFor(EVP_PKEY *key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2001: return EVP_get_digestbynid(NID_id_GostR3411_94);
    case NID_id_GostR3410_2012_256: return EVP_get_digestbynid(NID_id_GostR3411_2012_256);
    case NID_id_GostR3410_2012_512: return EVP_get_digestbynid(NID_id_GostR3411_2012_512);
    default: return nullptr;
  }
}

std::string OsslErrors() {
  std::string text;
  const char *data = nullptr;
  int flags = 0;
  unsigned long code;
  while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
    if (data && (flags & ERR_TXT_STRING) && *data) {
      text += " (";
      text += data;
      text += ")";
    }
  }
  return text.empty() ? "no detail from OpenSSL" : text;
}

std::string SerialHex(const BIGNUM *serial) {
  char *hex = BN_bn2hex(serial);
  std::string text = hex ? hex : "";
  OPENSSL_free(hex);
  return text;
}

std::string SerialHex(const ASN1_INTEGER *serial) {
  BnPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
  return bn ? SerialHex(bn.get()) : std::string();
}

BnPtr ParseSerial(const std::string &hex) {
  if (hex.empty() || hex.size() > 64) return nullptr;
  for (char c : hex)
    if (!isxdigit(static_cast<unsigned char>(c))) return nullptr;
  BIGNUM *bn = nullptr;
  if (BN_hex2bn(&bn, hex.c_str()) != static_cast<int>(hex.size())) {
    BN_free(bn);
    return nullptr;
  }
  BnPtr serial(bn);
  if (BN_is_zero(bn) || BN_num_bytes(bn) > 20) return nullptr;
  return serial;
}

Bytes CertDer(X509 *cert) {
  unsigned char *der = nullptr;
  int len = i2d_X509(cert, &der);
  Bytes bytes;
  if (len > 0) bytes.assign(der, der + len);
  OPENSSL_free(der);
  return bytes;
}

bool ReadFile(const std::string &path, Bytes &data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFileAtomic(const std::string &path, const void *data, size_t size, int mode) {
  // Threads of one server may replace the same file at once: each writes its own temporary.
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  const char *p = static_cast<const char *>(data);
  size_t left = size;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) {
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}
