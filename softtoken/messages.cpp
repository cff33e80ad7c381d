#include "softtoken/messages.h"

#include "softtoken/der.h"
#include "softtoken/gost.h"

// GOST R 34.10-2001 key with the CryptoPro-A curve and the CryptoPro hash
// parameters, as certificates and requests carry it (RFC 4491).
static const char keyAlgorithm[] = "1.2.643.2.2.19";
static const char curveParameters[] = "1.2.643.2.2.35.1";
static const char hashParameters[] = "1.2.643.2.2.30.1";
// Requests and certificates: GOST R 34.11-94 with GOST R 34.10-2001.
static const char requestSignatureAlgorithm[] = "1.2.643.2.2.3";
// CMS names the digest and the key algorithm separately, as OpenSSL's GOST
// engine writes and expects them.
static const char digestAlgorithm[] = "1.2.643.2.2.9";

static const char extensionRequest[] = "1.2.840.113549.1.9.14";
static const char signedDataType[] = "1.2.840.113549.1.7.2";
static const char dataType[] = "1.2.840.113549.1.7.1";
static const char contentTypeAttribute[] = "1.2.840.113549.1.9.3";
static const char messageDigestAttribute[] = "1.2.840.113549.1.9.4";
static const char signingTimeAttribute[] = "1.2.840.113549.1.9.5";

static std::string AlgorithmWithNull(const char *oid)
{
    return der::Sequence({der::Oid(oid), der::Null()});
}

static std::string PublicKeyInfo(const std::string &publicValue)
{
    std::string algorithm =
        der::Sequence({der::Oid(keyAlgorithm), der::Sequence({der::Oid(curveParameters), der::Oid(hashParameters)})});
    return der::Sequence({algorithm, der::BitString(der::OctetString(publicValue))});
}

bool BuildCertificationRequest(const std::string &name, const std::string &extensions,
                               const std::string &publicValue, const std::string &privateValue,
                               std::string &request)
{
    if (publicValue.size() != 64)
        return false;
    std::string attributes;
    if (!extensions.empty())
        attributes = der::Sequence({der::Oid(extensionRequest), der::SetOf({extensions})});
    std::string info = der::Sequence({der::Integer(0), name, PublicKeyInfo(publicValue),
                                      der::Explicit(0, attributes)});
    std::string signature;
    if (!GostSign(privateValue, GostDigest(info), signature))
        return false;
    request = der::Sequence({info, AlgorithmWithNull(requestSignatureAlgorithm), der::BitString(signature)});
    return true;
}

// The issuer and serial number of a certificate, for the SignerInfo.
static bool IssuerAndSerial(const std::string &certificate, std::string &issuerAndSerial)
{
    der::Item outer, tbs;
    std::vector<der::Item> certificateParts, tbsParts;
    if (!der::Read(certificate, 0, certificate.size(), outer) || outer.tag != der::TagSequence ||
        !der::Children(certificate, outer, certificateParts) || certificateParts.size() != 3)
        return false;
    tbs = certificateParts[0];
    if (tbs.tag != der::TagSequence || !der::Children(certificate, tbs, tbsParts))
        return false;
    size_t first = !tbsParts.empty() && tbsParts[0].tag == 0xA0 ? 1 : 0;  // [0] version
    if (tbsParts.size() < first + 3)
        return false;
    const der::Item &serial = tbsParts[first], &issuer = tbsParts[first + 2];
    if (serial.tag != der::TagInteger || issuer.tag != der::TagSequence)
        return false;
    auto whole = [&](const der::Item &item) { return certificate.substr(item.start, item.end() - item.start); };
    issuerAndSerial = der::Sequence({whole(issuer), whole(serial)});
    return true;
}

bool BuildSignedData(const std::string &content, const std::string &certificate,
                     const std::string &privateValue, const int time[6], std::string &message)
{
    std::string issuerAndSerial;
    der::Item whole;
    if (!IssuerAndSerial(certificate, issuerAndSerial) || !der::Read(certificate, 0, certificate.size(), whole))
        return false;
    // Only the certificate's own encoding goes into the message, not what
    // may follow it in the object's value.
    std::string certificateOnly = certificate.substr(0, whole.end());

    std::vector<std::string> attributes = {
        der::Sequence({der::Oid(contentTypeAttribute), der::SetOf({der::Oid(dataType)})}),
        der::Sequence({der::Oid(signingTimeAttribute),
                       der::SetOf({der::Time(time[0], time[1], time[2], time[3], time[4], time[5])})}),
        der::Sequence({der::Oid(messageDigestAttribute), der::SetOf({der::OctetString(GostDigest(content))})}),
    };
    // The signature covers the attributes as a DER SET OF; the message
    // carries the same bytes under [0] IMPLICIT.
    std::string signedAttributes = der::SetOf(attributes);
    std::string signature;
    if (!GostSign(privateValue, GostDigest(signedAttributes), signature))
        return false;

    std::string signerInfo = der::Sequence({
        der::Integer(1),
        issuerAndSerial,
        AlgorithmWithNull(digestAlgorithm),
        der::Implicit(0, signedAttributes),
        AlgorithmWithNull(keyAlgorithm),
        der::OctetString(signature),
    });
    std::string signedData = der::Sequence({
        der::Integer(1),
        der::SetOf({AlgorithmWithNull(digestAlgorithm)}),
        der::Sequence({der::Oid(dataType), der::Explicit(0, der::OctetString(content))}),
        der::Implicit(0, der::SetOf({certificateOnly})),
        der::SetOf({signerInfo}),
    });
    message = der::Sequence({der::Oid(signedDataType), der::Explicit(0, signedData)});
    return true;
}
