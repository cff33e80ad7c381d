// Subject names: the --rdn argument syntax and the one-line text the journal writes.
#pragma once

#include <string>

#include "ossl.h"

// Appends one RDN written as TYPE=VALUE[+TYPE=VALUE...] to name. A value may
// start with NUMERIC:, PRINTABLE:, UTF8:, IA5: or BMP:; \+ and \\ are a
// literal + and backslash. False with a message when the text is not valid.
bool AppendRdn(X509_NAME *name, const std::string &text, std::string &error);

// OID=VALUE items in certificate order, RDNs joined by ", ", the values of one
// RDN by " + "; \ before \ , + in values, control characters as \xHH.
std::string SubjectText(const X509_NAME *name);

// An attribute value as UTF-8 text; false when it cannot be converted.
bool ValueText(const ASN1_STRING *value, std::string &text);
