// The token's object rules: which objects a session sees, how templates
// match, which values are never given out, and the objects that key
// generation and C_CreateObject make from their templates.
#pragma once

#include "softtoken/key_kinds.h"

// Null pointers only where the count allows them.
bool TemplateReadable(const CK_ATTRIBUTE *attributes, CK_ULONG count);

// Private objects are seen only by a session of a logged-in application.
bool Visible(const StoredObject &object, CK_SLOT_ID slot);

// Every attribute of the template is present with exactly the same bytes.
bool Matches(const StoredObject &object, const CK_ATTRIBUTE *pattern, CK_ULONG count);

// A private key's value never leaves the token.
bool Sensitive(const StoredObject &object, CK_ATTRIBUTE_TYPE type);

// A GOST key pair (libgcrypt) with the templates' attributes: with
// CKM_GOSTR3410_KEY_PAIR_GEN a 2001 key, or a 2012-256 key when the digest
// parameters are Streebog-256; with CKM_GOSTR3410_512_KEY_PAIR_GEN a
// 2012-512 key.
CK_RV MakeKeyPair(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE *publicTemplate, CK_ULONG publicCount, const CK_ATTRIBUTE *privateTemplate,
                  CK_ULONG privateCount, StoredObject &publicKey, StoredObject &privateKey);

// An object from a C_CreateObject template: certificates, data objects and
// GOST keys.
CK_RV MakeObject(const CK_ATTRIBUTE *attributes, CK_ULONG count, StoredObject &object);
