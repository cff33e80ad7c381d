#include "issue.h"

#include <cstdlib>

#include "ca_dir.h"

namespace {

bool AddExtension(X509 *cert, X509 *issuer, const ExtItem &item, std::string &error) {
  if (item.ready) {
    if (X509_add_ext(cert, item.ready, -1)) return true;
  } else {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_nconf(nullptr, &ctx, item.name.c_str(), item.value.c_str());
    if (ext) {
      int ok = X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
      if (ok) return true;
    }
  }
  error = "cannot add the extension " + (item.ready ? std::string("(copied)") : item.name + "=" + item.value) +
          ": " + OsslErrors();
  return false;
}

bool SetTime(ASN1_TIME *field, time_t when) {
  // ASN1_TIME_set writes UTCTime up to 2049 and GeneralizedTime after, as X.509 asks.
  return ASN1_TIME_set(field, when) != nullptr;
}

}  // namespace

X509Ptr IssueCertificate(const Ca &ca, const CertOrder &order, std::string &error) {
  X509Ptr cert(X509_new());
  X509_NAME *issuerName = ca.cert ? X509_get_subject_name(ca.cert.get()) : order.subject;
  ASN1_INTEGER *serial = BN_to_ASN1_INTEGER(order.serial, nullptr);
  bool ok = cert && serial && X509_set_version(cert.get(), X509_VERSION_3) &&
            X509_set_serialNumber(cert.get(), serial) && X509_set_issuer_name(cert.get(), issuerName) &&
            X509_set_subject_name(cert.get(), order.subject) &&
            SetTime(X509_getm_notBefore(cert.get()), order.notBefore) &&
            SetTime(X509_getm_notAfter(cert.get()), order.notAfter) &&
            X509_set_pubkey(cert.get(), order.publicKey);
  ASN1_INTEGER_free(serial);
  if (!ok) {
    error = "cannot fill the certificate: " + OsslErrors();
    return nullptr;
  }
  for (const ExtItem &item : order.extensions)
    if (!AddExtension(cert.get(), ca.cert.get(), item, error)) return nullptr;
  const EVP_MD *digest = DigestFor(ca.key.get());
  if (!digest || !X509_sign(cert.get(), ca.key.get(), digest)) {
    error = "cannot sign the certificate: " + OsslErrors();
    return nullptr;
  }
  return cert;
}

std::string PublishedPath(X509 *cert) {
  const ASN1_OCTET_STRING *id = X509_get0_subject_key_id(cert);
  if (!id) return "";
  static const char digits[] = "0123456789ABCDEF";
  std::string path = "/";
  for (int i = 0; i < ASN1_STRING_length(id); i++) {
    unsigned char b = ASN1_STRING_get0_data(id)[i];
    path += digits[b >> 4];
    path += digits[b & 15];
  }
  return path + ".der";
}

ExtItem CaIssuersOf(const Ca &issuer, int urls) {
  std::string site = "caIssuers;URI:http://127.0.0.1:" + std::to_string(issuer.httpPort), value;
  for (int i = 1; i < urls; i++) value += site + "/UNPUBLISHED" + std::to_string(i) + ".der,";
  return {"authorityInfoAccess", value + site + PublishedPath(issuer.cert.get())};
}

time_t AddMonths(time_t when, int months) {
  struct tm t;
  gmtime_r(&when, &t);
  int month = t.tm_mon + months;
  int year = t.tm_year + (month >= 0 ? month / 12 : -((11 - month) / 12));
  month = ((month % 12) + 12) % 12;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int y = year + 1900;
  int last = days[month] + (month == 1 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 1 : 0);
  t.tm_year = year;
  t.tm_mon = month;
  if (t.tm_mday > last) t.tm_mday = last;
  return timegm(&t);
}

bool ParseTimeArg(const std::string &text, time_t now, time_t &result) {
  if (text.size() == 15 && text[14] == 'Z') {
    struct tm t = {};
    for (int i = 0; i < 14; i++)
      if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
    auto num = [&](int pos, int len) { return std::atoi(text.substr(pos, len).c_str()); };
    t.tm_year = num(0, 4) - 1900;
    t.tm_mon = num(4, 2) - 1;
    t.tm_mday = num(6, 2);
    t.tm_hour = num(8, 2);
    t.tm_min = num(10, 2);
    t.tm_sec = num(12, 2);
    if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 59)
      return false;
    int day = t.tm_mday;
    result = timegm(&t);  // normalises t: 31 April becomes 1 May
    return t.tm_mday == day;
  }
  if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return false;
  size_t pos = 1;
  while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos]))) pos++;
  if (pos == 1 || pos - 1 > 9) return false;
  long n = std::atol(text.substr(1, pos - 1).c_str());
  if (text[0] == '-') n = -n;
  std::string unit = text.substr(pos);
  if (unit == "s") result = now + n;
  else if (unit == "min") result = now + n * 60;
  else if (unit == "h") result = now + n * 3600;
  else if (unit == "d") result = now + n * 86400;
  else if (unit == "mon") result = AddMonths(now, static_cast<int>(n));
  else if (unit == "y") result = AddMonths(now, static_cast<int>(n * 12));
  else return false;
  return true;
}
