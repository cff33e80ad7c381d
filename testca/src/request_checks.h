// What a renewal request must be before the CA issues a certificate for it.
#pragma once

#include <string>
#include <vector>

#include "ossl.h"

// The holder attribute types a renewed certificate carries over from the
// current one: surname, givenName, title, unstructuredName, streetAddress,
// commonName, organizationalUnitName, organizationName, localityName,
// stateOrProvinceName, countryName, emailAddress, INN, the organisation's
// INN (INNLE, 1.2.643.100.4), OGRN, SNILS, OGRNIP.
extern const char *const kHolderAttributes[17];

// The subject signing tool every renewal request names.
extern const char kSigningTool[];

// Checks a certificate request signed by the holder of signer: the request's
// own signature, a new key, the same holder, the four required extensions.
// On success extensions receives copies of those four, in the request's order.
bool CheckRenewalRequest(X509_REQ *request, X509 *signer, std::vector<X509ExtPtr> &extensions,
                         std::string &reason);
