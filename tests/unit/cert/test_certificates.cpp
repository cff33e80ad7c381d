#include "test_certificates.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/unix_command.h"

SubjectAttribute Utf8(const std::string &oid, const std::string &value)
{
    return {oid, "UTF8String", value};
}

SubjectAttribute Printable(const std::string &oid, const std::string &value)
{
    return {oid, "PRINTABLESTRING", value};
}

SubjectAttribute Numeric(const std::string &oid, const std::string &value)
{
    return {oid, "NUMERICSTRING", value};
}


// One folder and one GOST key per test process (the time-zone runs of this
// program may run side by side).
static const std::string &MintDir()
{
    static std::string dir;
    if (dir.empty()) {
        dir = FreshWorkDir("unit_cert-" + std::to_string(GetCurrentProcessId()));
        std::string output;
        int status = RunUnix("cd " + ShellQuote(dir) +
                                 " && openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A"
                                 " -out key.pem && openssl pkey -engine gost -in key.pem -pubout -outform DER"
                                 " -out pub.der && tail -c 66 pub.der | od -An -tx1 | tr -dc 0-9a-f > pub.hex",
                             &output);
        if (status != 0)
            ADD_FAILURE() << "GOST key generation failed: " << output;
    }
    return dir;
}

// A value for an OpenSSL configuration file: these characters would
// otherwise quote, expand or comment.
static std::string ConfigValue(const std::string &value)
{
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '\'' || c == '$' || c == '#')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

static std::string TbsConfig(const CertOrder &order, const std::string &publicKeyHex)
{
    std::string config = "asn1 = SEQUENCE:tbs\n"
                         "[tbs]\n"
                         "version = EXPLICIT:0C,INTEGER:2\n"
                         "serial = INTEGER:0x" + order.serialHex + "\n"
                         "alg = SEQUENCE:alg\n"
                         "issuer = SEQUENCE:issuer\n"
                         "validity = SEQUENCE:validity\n" +
                         std::string(order.subjectNotAName ? "subject = SEQUENCE:notaname\n"
                                                          : "subject = SEQUENCE:subject\n") +
                         "spki = SEQUENCE:spki\n"
                         "[alg]\noid = OID:1.2.643.2.2.3\n"
                         "[issuer]\nrdn = SET:issuer_rdn\n"
                         "[issuer_rdn]\ncn = SEQUENCE:issuer_cn\n"
                         "[issuer_cn]\ntype = OID:2.5.4.3\nvalue = UTF8String:Kestrava Test CA\n"
                         "[validity]\nnb = UTCTIME:" + order.notBefore + "\nna = UTCTIME:" + order.notAfter + "\n"
                         "[notaname]\nn = INTEGER:5\n"
                         "[spki]\nalg = SEQUENCE:spki_alg\nkey = FORMAT:HEX,BITSTRING:" + publicKeyHex + "\n"
                         "[spki_alg]\n" + order.keyAlgorithm;
    std::string subject = "[subject]\n";
    std::string sections;
    for (size_t r = 0; r < order.subject.size(); r++) {
        std::string rdn = "rdn" + std::to_string(r);
        subject += rdn + " = SET:" + rdn + "\n";
        sections += "[" + rdn + "]\n";
        for (size_t a = 0; a < order.subject[r].size(); a++)
            sections += "a" + std::to_string(a) + " = SEQUENCE:" + rdn + "_a" + std::to_string(a) + "\n";
        for (size_t a = 0; a < order.subject[r].size(); a++) {
            const SubjectAttribute &attribute = order.subject[r][a];
            sections += "[" + rdn + "_a" + std::to_string(a) + "]\n";
            sections += "type = OID:" + attribute.oid + "\n";
            sections += "value = FORMAT:UTF8," + attribute.type + ":" + ConfigValue(attribute.value) + "\n";
        }
    }
    return config + subject + sections;
}

std::string MintCertificate(const CertOrder &order)
{
    static int counter = 0;
    const std::string &dir = MintDir();
    std::string publicKeyHex;
    if (!ReadFileBytes(dir + "/pub.hex", publicKeyHex) || publicKeyHex.size() != 132) {
        ADD_FAILURE() << "no GOST public key in " << dir;
        return std::string();
    }
    std::string n = std::to_string(++counter);
    WriteFileBytes(dir + "/tbs" + n + ".cnf", TbsConfig(order, publicKeyHex));
    WriteFileBytes(dir + "/cert" + n + ".tail",
                   "[cert]\ntbs = SEQUENCE:tbs\nalg = SEQUENCE:alg\nsig = FORMAT:HEX,BITSTRING:");
    // No backslashes in the command: they do not survive the trip to sh.
    std::string script = "cd " + ShellQuote(dir) + " && openssl asn1parse -genconf tbs" + n + ".cnf -out tbs" +
                         n + ".der > /dev/null && openssl dgst -engine gost -md_gost94 -sign key.pem -binary -out sig" +
                         n + ".bin tbs" + n + ".der && { sed '1s/.*/asn1 = SEQUENCE:cert/' tbs" + n +
                         ".cnf; cat cert" + n + ".tail; od -An -tx1 sig" + n + ".bin | tr -dc 0-9a-f; echo; } > cert" +
                         n + ".cnf && openssl asn1parse -genconf cert" + n + ".cnf -out cert" + n + ".der > /dev/null";
    std::string output;
    std::string der;
    if (RunUnix(script, &output) != 0 || !ReadFileBytes(dir + "/cert" + n + ".der", der) || der.empty()) {
        ADD_FAILURE() << "minting certificate " << n << " failed: " << output;
        return std::string();
    }
    return der;
}

PCCERT_CONTEXT ContextOf(const std::string &der)
{
    return CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()),
                                        (DWORD)der.size());
}

CertRecord FillRecord(const CertOrder &order, CK_SLOT_ID slot)
{
    std::string der = MintCertificate(order);
    PCCERT_CONTEXT context = ContextOf(der);
    EXPECT_NE(nullptr, context) << "the minted certificate does not decode";
    unsigned char ckaId[256] = {0x11, 0x22, 0x33};
    CertRecord record(context, slot, ckaId, 3);
    if (context)
        CertFreeCertificateContext(context);
    return record;
}

FilledRecord::FilledRecord(const CertOrder &order, CK_SLOT_ID slot) : record(FillRecord(order, slot))
{
}

FilledRecord::~FilledRecord()
{
    ReleaseCertRecord(record);
}
