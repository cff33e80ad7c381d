#include "names.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>

namespace {

struct StringType {
  const char *prefix;
  unsigned long mask;
};

const StringType kTypes[] = {
    {"NUMERIC:", B_ASN1_NUMERICSTRING}, {"PRINTABLE:", B_ASN1_PRINTABLESTRING}, {"UTF8:", B_ASN1_UTF8STRING},
    {"IA5:", B_ASN1_IA5STRING},         {"BMP:", B_ASN1_BMPSTRING},
};

unsigned long DefaultMask(int nid) {
  if (nid == NID_countryName) return B_ASN1_PRINTABLESTRING;
  if (nid == NID_pkcs9_emailAddress) return B_ASN1_IA5STRING;
  return B_ASN1_UTF8STRING;
}

// Splits at every + not written as \+, and undoes the two escapes.
std::vector<std::string> SplitValues(const std::string &text) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '+' || text[i + 1] == '\\')) {
      parts.back() += text[++i];
    } else if (c == '+') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

X509_NAME_ENTRY *MakeEntry(const std::string &item, std::string &error) {
  size_t eq = item.find('=');
  if (eq == std::string::npos || eq == 0) {
    error = "not TYPE=VALUE: " + item;
    return nullptr;
  }
  std::string type = item.substr(0, eq);
  std::string value = item.substr(eq + 1);
  Asn1ObjPtr obj(OBJ_txt2obj(type.c_str(), 0));
  if (!obj) {
    error = "unknown attribute type: " + type;
    return nullptr;
  }
  unsigned long mask = DefaultMask(OBJ_obj2nid(obj.get()));
  for (const StringType &t : kTypes) {
    size_t len = strlen(t.prefix);
    if (value.compare(0, len, t.prefix) == 0) {
      mask = t.mask;
      value.erase(0, len);
      break;
    }
  }
  ASN1_STRING *str = nullptr;
  // Checks the UTF-8 input and that every character fits the chosen type.
  if (ASN1_mbstring_copy(&str, reinterpret_cast<const unsigned char *>(value.data()),
                         static_cast<int>(value.size()), MBSTRING_UTF8, mask) < 0) {
    ERR_clear_error();
    error = "the value of " + type + " does not fit its string type: " + value;
    return nullptr;
  }
  X509_NAME_ENTRY *entry =
      X509_NAME_ENTRY_create_by_OBJ(nullptr, obj.get(), ASN1_STRING_type(str), ASN1_STRING_get0_data(str),
                                    ASN1_STRING_length(str));
  ASN1_STRING_free(str);
  if (!entry) error = "cannot make the attribute " + item + ": " + OsslErrors();
  return entry;
}

}  // namespace

bool AppendRdn(X509_NAME *name, const std::string &text, std::string &error) {
  std::vector<std::string> items = SplitValues(text);
  for (size_t i = 0; i < items.size(); i++) {
    X509_NAME_ENTRY *entry = MakeEntry(items[i], error);
    if (!entry) return false;
    // set 0 starts a new RDN at the end; -1 joins the RDN of the entry before.
    int ok = X509_NAME_add_entry(name, entry, -1, i == 0 ? 0 : -1);
    X509_NAME_ENTRY_free(entry);
    if (!ok) {
      error = "cannot add " + items[i] + ": " + OsslErrors();
      return false;
    }
  }
  return true;
}

bool ValueText(const ASN1_STRING *value, std::string &text) {
  unsigned char *utf8 = nullptr;
  int len = ASN1_STRING_to_UTF8(&utf8, value);
  if (len < 0) {
    ERR_clear_error();
    return false;
  }
  text.assign(reinterpret_cast<char *>(utf8), static_cast<size_t>(len));
  OPENSSL_free(utf8);
  return true;
}

std::string SubjectText(const X509_NAME *name) {
  std::string out;
  int lastSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); i++) {
    const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
    int set = X509_NAME_ENTRY_set(e);
    if (i > 0) out += set == lastSet ? " + " : ", ";
    lastSet = set;
    char oid[128];
    OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(e), 1);
    out += oid;
    out += '=';
    std::string value;
    if (!ValueText(X509_NAME_ENTRY_get_data(e), value)) {
      out += "(unreadable value)";
      continue;
    }
    for (unsigned char c : value) {
      if (c == '\\' || c == ',' || c == '+') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out;
}
