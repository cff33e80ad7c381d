// The two messages the token signs: a PKCS#10 certificate request and a CMS
// SignedData with the content inside and the signer's certificate included.
#pragma once

#include "softtoken/key_kinds.h"

#include <string>

// name: an encoded Name; extensions: an encoded Extensions SEQUENCE, or empty
// for a request without the extension request attribute. The request carries
// the public key and is signed with the private key, both of kind key.
bool BuildCertificationRequest(const std::string &name, const std::string &extensions, const GostKey &key,
                               const std::string &publicValue, const std::string &privateValue,
                               std::string &request);

// certificate: the signer's certificate (DER); false when it cannot be read.
// time: signingTime as year, month, day, hour, minute, second (UTC).
// key: the kind of the signer's private key.
bool BuildSignedData(const std::string &content, const std::string &certificate, const GostKey &key,
                     const std::string &privateValue, const int time[6], std::string &message);
