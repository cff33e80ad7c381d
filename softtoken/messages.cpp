#include "softtoken/messages.h"

#include "softtoken/der.h"
#include "softtoken/gost.h"

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

// The key's algorithm with its parameter set and, where certificates carry
// it, its digest parameters (RFC 4491, RFC 9215).
static std::string PublicKeyInfo(const GostKey &key, const std::string &publicValue)
{
    std::vector<std::string> parameters = {der::Oid(key.params->oid)};
    if (key.kind == GostKind::R2001 || key.params->digestInKeyInfo)
        parameters.push_back(der::Oid(HashParamsOid(key.kind)));
    std::string algorithm = der::Sequence({der::Oid(KeyAlgorithmOid(key.kind)), der::Sequence(parameters)});
    return der::Sequence({algorithm, der::BitString(der::OctetString(publicValue))});
}

bool BuildCertificationRequest(const std::string &name, const std::string &extensions, const GostKey &key,
                               const std::string &publicValue, const std::string &privateValue,
                               std::string &request)
{
    if (publicValue.size() != 2 * GostSize(key.kind))
        return false;
    std::string attributes;
    if (!extensions.empty())
        attributes = der::Sequence({der::Oid(extensionRequest), der::SetOf({extensions})});
    std::string info = der::Sequence({der::Integer(0), name, PublicKeyInfo(key, publicValue),
                                      der::Explicit(0, attributes)});
    std::string signature;
    if (!GostSign(key.kind, key.params->curve, privateValue, GostDigest(key.kind, info), signature))
        return false;
    request = der::Sequence({info, AlgorithmWithNull(SignatureAlgorithmOid(key.kind)), der::BitString(signature)});
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

bool BuildSignedData(const std::string &content, const std::string &certificate, const GostKey &key,
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
        der::Sequence(
            {der::Oid(messageDigestAttribute), der::SetOf({der::OctetString(GostDigest(key.kind, content))})}),
    };
    // The signature covers the attributes as a DER SET OF; the message
    // carries the same bytes under [0] IMPLICIT.
    std::string signedAttributes = der::SetOf(attributes);
    std::string signature;
    if (!GostSign(key.kind, key.params->curve, privateValue, GostDigest(key.kind, signedAttributes), signature))
        return false;
    // The digest by itself and the key's algorithm as the signature
    // algorithm, as OpenSSL's GOST engine writes and expects them.
    std::string digestAlgorithm = AlgorithmWithNull(DigestAlgorithmOid(key.kind));

    std::string signerInfo = der::Sequence({
        der::Integer(1),
        issuerAndSerial,
        digestAlgorithm,
        der::Implicit(0, signedAttributes),
        AlgorithmWithNull(KeyAlgorithmOid(key.kind)),
        der::OctetString(signature),
    });
    std::string signedData = der::Sequence({
        der::Integer(1),
        der::SetOf({digestAlgorithm}),
        der::Sequence({der::Oid(dataType), der::Explicit(0, der::OctetString(content))}),
        der::Implicit(0, der::SetOf({certificateOnly})),
        der::SetOf({signerInfo}),
    });
    message = der::Sequence({der::Oid(signedDataType), der::Explicit(0, signedData)});
    return true;
}
