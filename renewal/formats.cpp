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

// Length of the DER element at der (header included), 0 when the header is
// malformed or claims more than length bytes.
static unsigned int DerElementLength(const CK_BYTE *der, unsigned int length)
{
    if (length < 2)
        return 0;
    unsigned int header = 2;
    unsigned int content = der[1];
    if (content & 0x80) {
        unsigned int octets = content & 0x7F;
        if (octets == 0 || octets > 3 || length < 2 + octets)
            return 0;
        content = 0;
        for (unsigned int i = 0; i < octets; ++i)
            content = (content << 8) | der[2 + i];
        header += octets;
    }
    if (content > length - header)
        return 0;
    return header + content;
}

bool CertificateReplyMatchesKey(const CK_BYTE *reply, unsigned int length,
                                const CK_BYTE *publicKeyValue, CK_ULONG publicKeyLength)
{
    // The whole reply must be one certificate: trailing bytes would be
    // stored on the token with it and break every later search.
    if (reply == nullptr || length == 0 || reply[0] != 0x30 || DerElementLength(reply, length) != length)
        return false;
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, reply, length);
    if (context == nullptr)
        return false;
    const CRYPT_BIT_BLOB &key = context->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    bool matches = false;
    // A GOST public key is an OCTET STRING of X and Y inside the key's bit
    // string; the token holds the same 64 bytes as the key's value.
    if (key.cbData >= 2 && key.pbData[0] == 0x04 && DerElementLength(key.pbData, key.cbData) == key.cbData) {
        unsigned int header = (key.pbData[1] & 0x80) ? 2 + (key.pbData[1] & 0x7F) : 2;
        matches = publicKeyLength > 0 && key.cbData - header == publicKeyLength &&
                  memcmp(key.pbData + header, publicKeyValue, publicKeyLength) == 0;
    }
    CertFreeCertificateContext(context);
    return matches;
}
