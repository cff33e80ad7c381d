// The two text lists that createCSR receives, turned into DER: the subject
// (OID and value strings alternating) and the extensions (name or OID and an
// OpenSSL-style value alternating). Both refuse anything they cannot read.
#pragma once

#include <string>

// A Name: one RDN per pair, in the list's order. A value "NUMERICSTRING:..."
// is a NumericString without the prefix; countryName is a PrintableString,
// emailAddress an IA5String, everything else a UTF8String.
bool BuildSubjectName(char **dn, unsigned long count, std::string &name, std::string &error);

// The Extensions SEQUENCE. Names: keyUsage (named bits), extendedKeyUsage
// (OIDs or the usual short names), or a dotted OID with "ASN1:TYPE:value" (a
// SEQUENCE or SET names a section "[name]" further down the same text whose
// lines are "field = TYPE:value"). A value may start with "critical,".
bool BuildExtensions(char **exts, unsigned long count, std::string &extensions, std::string &error);
