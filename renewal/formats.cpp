#include "renewal/formats.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>

CK_BYTE PaymentRequest[7] = {0x4D, 0x73, 0x67, 0x46, 0x30, 0x00, 0x01};

PaymentReply ClassifyPaymentReply(const CK_BYTE *reply, unsigned int length)
{
    if (length == 0)
        return NothingReceived;
    if (length < 8)
        return UnexpectedReply;
    if (reply[5] == 0x00 && reply[6] == 0x03 && reply[7] == 0x01)
        return Paid;
    return NotPaid;
}

static char keyUsageName[] = "keyUsage";
static char keyUsageValue[] = "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment";
static char extendedKeyUsageName[] = "extendedKeyUsage";
static char extendedKeyUsageValue[] =
    "1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
    "1.2.643.3.6.78.4.5,1.3.6.1.5.5.7.3.4,1.2.643.5.1.28.4,1.2.643.3.6.0.13";
static char signingToolName[] = "1.2.643.100.111";
static const wchar_t signingToolValue[] =
    L"ASN1:UTF8String:СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»";
static char templateName[] = "1.3.6.1.4.1.311.21.7";
static char templateValue[] =
    "ASN1:SEQUENCE:certificateTemplate\n"
    "[certificateTemplate]\n"
    "templateID=OID:1.2.643.3.6.3.13\n"
    "templateMajorVersion=INTEGER:1\n"
    "templateMinorVersion=INTEGER:0";

void BuildExtensions(char *exts[8], char utf8Tool[256])
{
    utf8Tool[0] = 0;
    WideCharToMultiByte(CP_UTF8, 0, signingToolValue, -1, utf8Tool, 256, nullptr, nullptr);
    exts[0] = keyUsageName;
    exts[1] = keyUsageValue;
    exts[2] = extendedKeyUsageName;
    exts[3] = extendedKeyUsageValue;
    exts[4] = signingToolName;
    exts[5] = utf8Tool;
    exts[6] = templateName;
    exts[7] = templateValue;
}

// The header length of the DER element at der and the length of its content
// as the header declares it; false when the header is malformed.
static bool DerHeader(const CK_BYTE *der, unsigned int length, unsigned int *header, unsigned int *content)
{
    if (length < 2)
        return false;
    *header = 2;
    *content = der[1];
    if (*content & 0x80) {
        unsigned int octets = *content & 0x7F;
        if (octets == 0 || octets > 3 || length < 2 + octets)
            return false;
        *content = 0;
        for (unsigned int i = 0; i < octets; ++i)
            *content = (*content << 8) | der[2 + i];
        *header += octets;
    }
    return true;
}

// The header length of the DER element at der and its whole length (header
// included); false when the header is malformed or claims more than length
// bytes.
static bool DerElement(const CK_BYTE *der, unsigned int length, unsigned int *header, unsigned int *total)
{
    unsigned int content = 0;
    if (!DerHeader(der, length, header, &content) || content > length - *header)
        return false;
    *total = *header + content;
    return true;
}

unsigned int DerElementLength(const CK_BYTE *der, unsigned int length)
{
    unsigned int header = 0, total = 0;
    return DerElement(der, length, &header, &total) ? total : 0;
}

CERT_PUBLIC_KEY_INFO *DecodeRequestPublicKey(const CK_BYTE *csr, CK_ULONG csrLength)
{
    // The request is signed: its outer form is the one of every signed X.509
    // structure, and the request proper is what was signed.
    CERT_SIGNED_CONTENT_INFO *signedRequest = nullptr;
    DWORD size = 0;
    if (csr == nullptr || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_CERT, csr, csrLength, CRYPT_DECODE_ALLOC_FLAG,
                                               nullptr, &signedRequest, &size))
        return nullptr;
    // SEQUENCE { version INTEGER, subject Name, subjectPKInfo, [0] attributes }:
    // the key is the third element. Not every crypt32 decodes the request as
    // a whole, but every one decodes a public key.
    const CK_BYTE *at = signedRequest->ToBeSigned.pbData;
    unsigned int left = signedRequest->ToBeSigned.cbData, header = 0, total = 0;
    bool found = left > 0 && at[0] == 0x30 && DerElement(at, left, &header, &total);
    if (found) {
        left = total - header;
        at += header;
    }
    const CK_BYTE skippedTags[] = {0x02, 0x30};
    for (CK_BYTE tag : skippedTags) {
        found = found && left > 0 && at[0] == tag && DerElement(at, left, &header, &total);
        if (found) {
            at += total;
            left -= total;
        }
    }
    found = found && left > 0 && at[0] == 0x30 && DerElement(at, left, &header, &total);
    CERT_PUBLIC_KEY_INFO *key = nullptr;
    if (!found || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, at, total, CRYPT_DECODE_ALLOC_FLAG,
                                       nullptr, &key, &size))
        key = nullptr;
    LocalFree(signedRequest);
    return key;
}

// The same key: algorithm and key bits. The algorithm's parameters are left
// out, as a certification centre may write them in another (equal) form.
static bool SamePublicKey(const CERT_PUBLIC_KEY_INFO &a, const CERT_PUBLIC_KEY_INFO &b)
{
    return a.Algorithm.pszObjId != nullptr && b.Algorithm.pszObjId != nullptr &&
           strcmp(a.Algorithm.pszObjId, b.Algorithm.pszObjId) == 0 && a.PublicKey.cbData > 0 &&
           a.PublicKey.cbData == b.PublicKey.cbData && a.PublicKey.cUnusedBits == b.PublicKey.cUnusedBits &&
           memcmp(a.PublicKey.pbData, b.PublicKey.pbData, a.PublicKey.cbData) == 0;
}

unsigned int LeadingCertificateLength(const CK_BYTE *reply, unsigned int length,
                                      const CERT_PUBLIC_KEY_INFO &requestKey)
{
    // A line break or anything else that a centre or a proxy sends after the
    // certificate would be stored on the token with it and break every later
    // search: the certificate ends where its own length says.
    unsigned int whole = reply != nullptr && length > 0 && reply[0] == 0x30 ? DerElementLength(reply, length) : 0;
    if (whole == 0)
        return 0;
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, reply, whole);
    if (context == nullptr)
        return 0;
    bool matches = SamePublicKey(context->pCertInfo->SubjectPublicKeyInfo, requestKey);
    CertFreeCertificateContext(context);
    return matches ? whole : 0;
}

bool ReplyIsCutCertificate(const CK_BYTE *reply, unsigned int length)
{
    // A DER certificate is longer than 127 bytes, so its outer length is in
    // the long form: 0x81 (0x80 and up), 0x82 or 0x83. A short reply such as
    // the text "0" or "000" is a refusal, and so is a lone 0x30, which
    // cannot be told from "0".
    if (reply == nullptr || length < 2 || reply[0] != 0x30 || reply[1] < 0x81 || reply[1] > 0x83)
        return false;
    // Cut inside the header: the octets of the length are still to come.
    if (length < 2u + (reply[1] & 0x7F))
        return true;
    unsigned int header = 0, content = 0;
    if (!DerHeader(reply, length, &header, &content) || content < 0x80 || content <= length - header)
        return false;
    // A certificate opens with its signed part, another SEQUENCE.
    return length == header || reply[header] == 0x30;
}
