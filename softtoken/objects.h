// The token's object rules: which objects a session sees, how templates
// match, which values are never given out, and the objects that key
// generation and C_CreateObject make from their templates.
#pragma once

#include "softtoken/store.h"

// The DER encoding of the CryptoPro-A parameter set, 1.2.643.2.2.35.1: the
// only GOST R 34.10-2001 parameters this token supports.
extern const std::string cryptoProA;

// Null pointers only where the count allows them.
bool TemplateReadable(const CK_ATTRIBUTE *attributes, CK_ULONG count);

// Private objects are seen only by a session of a logged-in application.
bool Visible(const StoredObject &object, CK_SLOT_ID slot);

// Every attribute of the template is present with exactly the same bytes.
bool Matches(const StoredObject &object, const CK_ATTRIBUTE *pattern, CK_ULONG count);

// A private key's value never leaves the token.
bool Sensitive(const StoredObject &object, CK_ATTRIBUTE_TYPE type);

// A GOST R 34.10-2001 key pair (libgcrypt) with the templates' attributes.
CK_RV MakeKeyPair(const CK_ATTRIBUTE *publicTemplate, CK_ULONG publicCount, const CK_ATTRIBUTE *privateTemplate,
                  CK_ULONG privateCount, StoredObject &publicKey, StoredObject &privateKey);

// An object from a C_CreateObject template: certificates, data objects and
// GOST keys.
CK_RV MakeObject(const CK_ATTRIBUTE *attributes, CK_ULONG count, StoredObject &object);
