#include "request_checks.h"

#include <algorithm>
#include <set>

#include <openssl/err.h>
#include <openssl/objects.h>

#include "names.h"

const char *const kHolderAttributes[17] = {
    "2.5.4.4",  "2.5.4.42", "2.5.4.12",      "1.2.840.113549.1.9.2", "2.5.4.9",       "2.5.4.3",
    "2.5.4.11", "2.5.4.10", "2.5.4.7",       "2.5.4.8",              "2.5.4.6",       "1.2.840.113549.1.9.1",
    "1.2.643.3.131.1.1",    "1.2.643.100.4", "1.2.643.100.1",        "1.2.643.100.3", "1.2.643.100.5",
};

const char kSigningTool[] = u8"СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»";

namespace {

const char kTemplateOid[] = "1.3.6.1.4.1.311.21.7";
const char kSigningToolOid[] = "1.2.643.100.111";

// SEQUENCE { OID 1.2.643.3.6.3.13, INTEGER 1, INTEGER 0 }
const unsigned char kTemplateValue[] = {0x30, 0x0F, 0x06, 0x07, 0x2A, 0x85, 0x03, 0x03, 0x06,
                                        0x03, 0x0D, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00};

const char *const kExtendedKeyUsages[] = {
    "1.3.6.1.5.5.7.3.2",   "1.2.643.2.2.34.6",  "1.2.643.5.1.28.2", "1.2.643.5.1.28.3",
    "1.2.643.3.6.78.4.5",  "1.3.6.1.5.5.7.3.4", "1.2.643.5.1.28.4", "1.2.643.3.6.0.13",
};

std::string OidText(const ASN1_OBJECT *obj) {
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return buf;
}

// The first value of an attribute type in a name ("absent" is false).
bool FirstValue(const X509_NAME *name, const ASN1_OBJECT *type, std::string &value, bool &readable) {
  int i = X509_NAME_get_index_by_OBJ(name, type, -1);
  if (i < 0) return false;
  readable = ValueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)), value);
  return true;
}

bool CheckSubject(X509_REQ *request, X509 *signer, std::string &reason) {
  const X509_NAME *wanted = X509_get_subject_name(signer);
  const X509_NAME *asked = X509_REQ_get_subject_name(request);
  std::set<std::string> holderTypes(std::begin(kHolderAttributes), std::end(kHolderAttributes));
  std::set<std::string> seen;
  for (int i = 0; i < X509_NAME_entry_count(asked); i++) {
    std::string oid = OidText(X509_NAME_ENTRY_get_object(X509_NAME_get_entry(asked, i)));
    if (!holderTypes.count(oid)) {
      reason = "request subject has attribute " + oid + ", which is not a holder attribute";
      return false;
    }
    if (!seen.insert(oid).second) {
      reason = "request subject has attribute " + oid + " twice";
      return false;
    }
  }
  for (const char *oid : kHolderAttributes) {
    Asn1ObjPtr type(OBJ_txt2obj(oid, 1));
    std::string want, got;
    bool wantReadable = false, gotReadable = false;
    bool hasWant = FirstValue(wanted, type.get(), want, wantReadable);
    bool hasGot = FirstValue(asked, type.get(), got, gotReadable);
    if (hasWant != hasGot) {
      reason = std::string("request subject ") + (hasWant ? "lacks" : "adds") + " attribute " + oid;
      return false;
    }
    if (hasWant && (!wantReadable || !gotReadable || want != got)) {
      reason = std::string("request subject attribute ") + oid + " is '" + got + "', the holder's is '" + want + "'";
      return false;
    }
  }
  return true;
}

bool CheckKeyUsage(X509_EXTENSION *ext, std::string &reason) {
  ASN1_BIT_STRING *bits = static_cast<ASN1_BIT_STRING *>(X509V3_EXT_d2i(ext));
  if (!bits) {
    ERR_clear_error();
    reason = "keyUsage cannot be decoded";
    return false;
  }
  bool ok = true;
  for (int bit = 0; bit < ASN1_STRING_length(bits) * 8; bit++)
    if ((ASN1_BIT_STRING_get_bit(bits, bit) != 0) != (bit <= 3)) ok = false;
  for (int bit = 0; bit <= 3; bit++)
    if (!ASN1_BIT_STRING_get_bit(bits, bit)) ok = false;
  ASN1_BIT_STRING_free(bits);
  if (!ok)
    reason = "keyUsage is not exactly digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment";
  return ok;
}

bool CheckExtendedKeyUsage(X509_EXTENSION *ext, std::string &reason) {
  EXTENDED_KEY_USAGE *eku = static_cast<EXTENDED_KEY_USAGE *>(X509V3_EXT_d2i(ext));
  if (!eku) {
    ERR_clear_error();
    reason = "extendedKeyUsage cannot be decoded";
    return false;
  }
  std::vector<std::string> got;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); i++) got.push_back(OidText(sk_ASN1_OBJECT_value(eku, i)));
  sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
  std::vector<std::string> want(std::begin(kExtendedKeyUsages), std::end(kExtendedKeyUsages));
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  if (got != want) {
    reason = "extendedKeyUsage is not the required list of purposes";
    return false;
  }
  return true;
}

bool CheckSigningTool(X509_EXTENSION *ext, std::string &reason) {
  const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(ext);
  const unsigned char *p = ASN1_STRING_get0_data(data);
  long len = ASN1_STRING_length(data);
  ASN1_UTF8STRING *text = d2i_ASN1_UTF8STRING(nullptr, &p, len);
  std::string got;
  if (text)
    got.assign(reinterpret_cast<const char *>(ASN1_STRING_get0_data(text)),
               static_cast<size_t>(ASN1_STRING_length(text)));
  bool ok = text && p == ASN1_STRING_get0_data(data) + len && got == kSigningTool;
  ASN1_UTF8STRING_free(text);
  ERR_clear_error();
  if (!ok)
    reason = std::string(kSigningToolOid) + " is not a UTF8String of the signing tool's name" +
             (text ? " (it holds '" + got + "')" : "");
  return ok;
}

bool CheckTemplate(X509_EXTENSION *ext, std::string &reason) {
  const ASN1_OCTET_STRING *data = X509_EXTENSION_get_data(ext);
  bool ok = ASN1_STRING_length(data) == static_cast<int>(sizeof kTemplateValue) &&
            std::equal(kTemplateValue, kTemplateValue + sizeof kTemplateValue, ASN1_STRING_get0_data(data));
  if (!ok) reason = std::string(kTemplateOid) + " is not SEQUENCE { 1.2.643.3.6.3.13, 1, 0 }";
  return ok;
}

struct Required {
  const char *oid;
  const char *name;
  bool (*check)(X509_EXTENSION *, std::string &);
};

const Required kRequired[] = {
    {"2.5.29.15", "keyUsage", CheckKeyUsage},
    {"2.5.29.37", "extendedKeyUsage", CheckExtendedKeyUsage},
    {kSigningToolOid, kSigningToolOid, CheckSigningTool},
    {kTemplateOid, kTemplateOid, CheckTemplate},
};

bool CheckExtensions(X509_REQ *request, std::vector<X509ExtPtr> &extensions, std::string &reason) {
  STACK_OF(X509_EXTENSION) *exts = X509_REQ_get_extensions(request);
  ERR_clear_error();
  bool ok = true;
  for (const Required &req : kRequired) {
    int found = 0;
    for (int i = 0; i < sk_X509_EXTENSION_num(exts); i++)
      if (OidText(X509_EXTENSION_get_object(sk_X509_EXTENSION_value(exts, i))) == req.oid) found++;
    if (found != 1) {
      reason = std::string("request ") + (found ? "repeats" : "lacks") + " the extension " + req.name;
      ok = false;
      break;
    }
  }
  for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts); i++) {
    X509_EXTENSION *ext = sk_X509_EXTENSION_value(exts, i);
    std::string oid = OidText(X509_EXTENSION_get_object(ext));
    for (const Required &req : kRequired)
      if (oid == req.oid) {
        if (!req.check(ext, reason)) ok = false;
        else extensions.emplace_back(X509_EXTENSION_dup(ext));
      }
  }
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  return ok;
}

}  // namespace

bool CheckRenewalRequest(X509_REQ *request, X509 *signer, std::vector<X509ExtPtr> &extensions,
                         std::string &reason) {
  EVP_PKEY *key = X509_REQ_get0_pubkey(request);
  if (!key) {
    reason = "request public key cannot be read: " + OsslErrors();
    return false;
  }
  if (X509_REQ_verify(request, key) != 1) {
    reason = "request signature does not verify: " + OsslErrors();
    return false;
  }
  if (EVP_PKEY_eq(key, X509_get0_pubkey(signer)) == 1) {
    reason = "request public key is the signer's own key";
    return false;
  }
  if (!CheckSubject(request, signer, reason)) return false;
  extensions.clear();
  return CheckExtensions(request, extensions, reason);
}
