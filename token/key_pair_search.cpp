#include "token/key_pair_search.h"

#include <cstring>
#include <vector>

#include "token/search.h"

namespace {

// Far above any key or certificate: a larger value is passed over.
CK_ULONG const maxValueLength = 64 * 1024;
CK_ULONG const findBatch = 32;
// A token that keeps finding objects is not read on for ever.
size_t const maxObjects = 1024;

// An attribute's value: its size first, then the value. False when the token
// does not give it.
bool ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                   std::vector<CK_BYTE> &value)
{
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > maxValueLength)
        return false;
    value.assign(attribute.ulValueLen + 1, 0);
    attribute.pValue = value.data();
    if (C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK || attribute.ulValueLen >= value.size())
        return false;
    value.resize(attribute.ulValueLen);
    return true;
}

// Every object of the class on the session's token (none when the search
// fails).
std::vector<CK_OBJECT_HANDLE> ObjectsOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass)
{
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_ATTRIBUTE classAttribs[] = {{CKA_CLASS, &objectClass, sizeof objectClass}};
    if (C_FindObjectsInit(session, classAttribs, 1) != CKR_OK)
        return objects;
    while (objects.size() < maxObjects) {
        CK_OBJECT_HANDLE batch[findBatch];
        CK_ULONG count = 0;
        if (C_FindObjects(session, batch, findBatch, &count) != CKR_OK || count == 0 || count > findBatch)
            break;
        objects.insert(objects.end(), batch, batch + count);
    }
    C_FindObjectsFinal(session);
    return objects;
}

// The bare GOST public key, X then Y (64 or 128 bytes), of a token's
// CKA_VALUE or a certificate's key bits: some give it wrapped in a DER OCTET
// STRING.
bool BareKey(const CK_BYTE *value, CK_ULONG length, const CK_BYTE **key, CK_ULONG *keyLength)
{
    CK_ULONG header = 0;
    if (length == 2 + 64 && value[0] == 0x04 && value[1] == 64)
        header = 2;
    else if (length == 3 + 128 && value[0] == 0x04 && value[1] == 0x81 && value[2] == 128)
        header = 3;
    else if (length != 64 && length != 128)
        return false;
    *key = value + header;
    *keyLength = length - header;
    return true;
}

bool SameKey(const std::vector<CK_BYTE> &tokenValue, const CK_BYTE *certificateKey, CK_ULONG certificateKeyLength)
{
    const CK_BYTE *a = nullptr, *b = nullptr;
    CK_ULONG aLength = 0, bLength = 0;
    return BareKey(tokenValue.data(), tokenValue.size(), &a, &aLength) &&
           BareKey(certificateKey, certificateKeyLength, &b, &bLength) && aLength == bLength &&
           memcmp(a, b, aLength) == 0;
}

// Looks on one token for the public key; notes whether the certificate is
// already there.
bool SearchTokenForKey(CK_SESSION_HANDLE session, PCCERT_CONTEXT certificate, KeyPairPlace *place)
{
    const CRYPT_BIT_BLOB &key = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    if (key.cUnusedBits != 0)
        return false;
    std::vector<CK_BYTE> value, id;
    bool found = false;
    for (CK_OBJECT_HANDLE object : ObjectsOfClass(session, CKO_PUBLIC_KEY)) {
        // Without an identifier nothing would tie the certificate to the key.
        if (ReadAttribute(session, object, CKA_VALUE, value) && SameKey(value, key.pbData, key.cbData) &&
            ReadAttribute(session, object, CKA_ID, id) && !id.empty() && id.size() <= sizeof place->id) {
            found = true;
            break;
        }
    }
    if (!found)
        return false;
    memset(place->id, 0, sizeof place->id);
    memcpy(place->id, id.data(), id.size());
    place->idLength = id.size();
    place->certificateStored = false;
    for (CK_OBJECT_HANDLE object : ObjectsOfClass(session, CKO_CERTIFICATE)) {
        if (ReadAttribute(session, object, CKA_VALUE, value) && value.size() == certificate->cbCertEncoded &&
            memcmp(value.data(), certificate->pbCertEncoded, value.size()) == 0) {
            place->certificateStored = true;
            break;
        }
    }
    return true;
}

}  // namespace

bool FindPublicKeyOfCertificate(PCCERT_CONTEXT certificate, KeyPairPlace *place)
{
    CK_ULONG slotsCount = 0;
    if (C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK)
        return false;
    CK_SLOT_ID *slots = ReadSlotList(slotsCount);
    bool found = false;
    for (CK_ULONG i = 0; i < slotsCount && !found; ++i) {
        CK_SESSION_HANDLE session = 0;
        if (C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
            continue;
        found = SearchTokenForKey(session, certificate, place);
        if (found)
            place->slot = slots[i];
        C_CloseSession(session);
    }
    delete[] slots;
    return found;
}

CK_RV FindPrivateKeyById(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength, bool *found,
                         const char **failedCall)
{
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE keyAttribs[] = {
        {CKA_CLASS, &privateClass, sizeof privateClass},
        {CKA_ID, (void *)id, idLength},
    };
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    *found = false;
    CK_RV rv = C_FindObjectsInit(session, keyAttribs, 2);
    if (rv != CKR_OK) {
        *failedCall = "C_FindObjectsInit";
        return rv;
    }
    rv = C_FindObjects(session, &key, 1, &count);
    CK_RV finalRv = C_FindObjectsFinal(session);
    if (rv != CKR_OK) {
        *failedCall = "C_FindObjects";
        return rv;
    }
    if (finalRv != CKR_OK) {
        *failedCall = "C_FindObjectsFinal";
        return finalRv;
    }
    *found = count > 0;
    return CKR_OK;
}
