// Certificates for the certificate model's tests, minted at test time with
// OpenSSL: the to-be-signed part is laid out with asn1parse -genconf (so the
// subject's string types, multi-valued RDNs, serial and validity are exactly
// what a test asks for) and signed with a GOST R 34.10-2001 key through the
// gost engine.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "cert/cert_record.h"

struct SubjectAttribute {
    std::string oid;
    std::string type;   // genconf string type: UTF8String, PRINTABLESTRING, NUMERICSTRING, IA5STRING
    std::string value;  // UTF-8
};
using Rdn = std::vector<SubjectAttribute>;

SubjectAttribute Utf8(const std::string &oid, const std::string &value);
SubjectAttribute Printable(const std::string &oid, const std::string &value);
SubjectAttribute Numeric(const std::string &oid, const std::string &value);

struct CertOrder {
    std::vector<Rdn> subject;             // in certificate order; empty: an empty name
    std::string serialHex = "01A2";       // most significant byte first
    std::string notBefore = "160701100000Z";  // UTCTime
    std::string notAfter = "170305140709Z";
    bool subjectNotAName = false;         // a SEQUENCE that is not a list of RDNs
    // The body of the key's AlgorithmIdentifier (genconf section spki_alg and
    // any sections it names); the key bits stay those of a 2001 key.
    std::string keyAlgorithm = "oid = OID:1.2.643.2.2.19\nparams = SEQUENCE:spki_params\n"
                               "[spki_params]\na = OID:1.2.643.2.2.35.1\nb = OID:1.2.643.2.2.30.1\n";
};

// The DER certificate; an empty string (and a test failure) when OpenSSL failed.
std::string MintCertificate(const CertOrder &order);

// A certificate context over the DER bytes (null if they are not a certificate).
PCCERT_CONTEXT ContextOf(const std::string &der);

// Mints, decodes and fills one record the way the search does: the caller's
// context is freed at once, the record keeps its own. The caller owns it
// until it adds it to a list.
CertRecord FillRecord(const CertOrder &order, CK_SLOT_ID slot = 7);

// A filled record that no list will hold, released when it goes out of scope.
struct FilledRecord {
    CertRecord record;
    explicit FilledRecord(const CertOrder &order, CK_SLOT_ID slot = 7);
    ~FilledRecord();
    FilledRecord(const FilledRecord &) = delete;
    FilledRecord &operator=(const FilledRecord &) = delete;
};

