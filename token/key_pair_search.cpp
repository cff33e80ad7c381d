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

// Every object that matches the template (what was found before a failure,
// when the search fails). On failure *failedCall names the call.
CK_RV FindAll(CK_SESSION_HANDLE session, CK_ATTRIBUTE *attribs, CK_ULONG count, std::vector<CK_OBJECT_HANDLE> &objects,
              const char **failedCall)
{
    objects.clear();
    CK_RV rv = C_FindObjectsInit(session, attribs, count);
    if (rv != CKR_OK) {
        *failedCall = "C_FindObjectsInit";
        return rv;
    }
    while (objects.size() < maxObjects) {
        CK_OBJECT_HANDLE batch[findBatch];
        CK_ULONG found = 0;
        rv = C_FindObjects(session, batch, findBatch, &found);
        if (rv != CKR_OK) {
            *failedCall = "C_FindObjects";
            break;
        }
        if (found == 0 || found > findBatch)
            break;
        objects.insert(objects.end(), batch, batch + found);
    }
    CK_RV finalRv = C_FindObjectsFinal(session);
    if (rv == CKR_OK && finalRv != CKR_OK) {
        *failedCall = "C_FindObjectsFinal";
        rv = finalRv;
    }
    return rv;
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

bool SameKey(const std::vector<CK_BYTE> &tokenValue, PCCERT_CONTEXT certificate)
{
    const CRYPT_BIT_BLOB &key = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    const CK_BYTE *a = nullptr, *b = nullptr;
    CK_ULONG aLength = 0, bLength = 0;
    return key.cUnusedBits == 0 && BareKey(tokenValue.data(), tokenValue.size(), &a, &aLength) &&
           BareKey(key.pbData, key.cbData, &b, &bLength) && aLength == bLength && memcmp(a, b, aLength) == 0;
}

struct PublicKeyObject {
    std::vector<CK_BYTE> value, id;
};

// The places of the certificates' keys on one token, and whether each
// certificate is there already.
std::vector<KeyPairPlace> PlacesOnToken(CK_SLOT_ID slot, CK_SESSION_HANDLE session,
                                        const std::vector<PCCERT_CONTEXT> &certificates)
{
    std::vector<PublicKeyObject> keys;
    for (CK_OBJECT_HANDLE object : ObjectsOfClass(session, CKO_PUBLIC_KEY)) {
        PublicKeyObject key;
        // Without an identifier nothing would tie the certificate to the key.
        if (ReadAttribute(session, object, CKA_VALUE, key.value) && ReadAttribute(session, object, CKA_ID, key.id) &&
            !key.id.empty() && key.id.size() <= sizeof(KeyPairPlace::id))
            keys.push_back(key);
    }
    std::vector<KeyPairPlace> places;
    for (PCCERT_CONTEXT certificate : certificates)
        for (const PublicKeyObject &key : keys) {
            if (!SameKey(key.value, certificate))
                continue;
            KeyPairPlace place = {};
            place.slot = slot;
            place.certificate = certificate;
            memcpy(place.id, key.id.data(), key.id.size());
            place.idLength = key.id.size();
            places.push_back(place);
        }
    if (places.empty())
        return places;
    std::vector<CK_BYTE> value;
    for (CK_OBJECT_HANDLE object : ObjectsOfClass(session, CKO_CERTIFICATE)) {
        if (!ReadAttribute(session, object, CKA_VALUE, value))
            continue;
        for (KeyPairPlace &place : places)
            place.certificateStored |= value.size() == place.certificate->cbCertEncoded &&
                                       memcmp(value.data(), place.certificate->pbCertEncoded, value.size()) == 0;
    }
    return places;
}

}  // namespace

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

std::vector<CK_OBJECT_HANDLE> ObjectsOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass)
{
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_ATTRIBUTE classAttribs[] = {{CKA_CLASS, &objectClass, sizeof objectClass}};
    const char *failedCall = nullptr;
    FindAll(session, classAttribs, 1, objects, &failedCall);
    return objects;
}

std::vector<KeyPairPlace> FindKeyPairPlaces(const std::vector<PCCERT_CONTEXT> &certificates)
{
    std::vector<KeyPairPlace> places;
    CK_ULONG slotsCount = 0;
    if (C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK)
        return places;
    CK_SLOT_ID *slots = ReadSlotList(slotsCount);
    for (CK_ULONG i = 0; i < slotsCount && places.empty(); ++i) {
        // As in the search, a token that does not say who it is is passed
        // over: it could not be told from another put in its place later.
        CK_TOKEN_INFO token;
        CK_SESSION_HANDLE session = 0;
        if (C_GetTokenInfo(slots[i], &token) != CKR_OK ||
            C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
            continue;
        places = PlacesOnToken(slots[i], session, certificates);
        C_CloseSession(session);
        for (KeyPairPlace &place : places)
            place.token = token;
    }
    delete[] slots;
    return places;
}

bool SameTokenInSlot(const KeyPairPlace &place)
{
    CK_TOKEN_INFO token;
    const CK_TOKEN_INFO &found = place.token;
    return C_GetTokenInfo(place.slot, &token) == CKR_OK && memcmp(token.label, found.label, sizeof token.label) == 0 &&
           memcmp(token.manufacturerID, found.manufacturerID, sizeof token.manufacturerID) == 0 &&
           memcmp(token.model, found.model, sizeof token.model) == 0 &&
           memcmp(token.serialNumber, found.serialNumber, sizeof token.serialNumber) == 0;
}

CK_RV KeyPairStandsAt(CK_SESSION_HANDLE session, const KeyPairPlace &place, bool *stands, const char **failedCall)
{
    *stands = false;
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE keyAttribs[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_ID, (void *)place.id, place.idLength},
    };
    std::vector<CK_OBJECT_HANDLE> objects;
    CK_RV rv = FindAll(session, keyAttribs, 2, objects, failedCall);
    if (rv != CKR_OK)
        return rv;
    bool samePublicKey = false;
    std::vector<CK_BYTE> value;
    for (CK_OBJECT_HANDLE object : objects)
        samePublicKey |= ReadAttribute(session, object, CKA_VALUE, value) && SameKey(value, place.certificate);
    if (!samePublicKey)
        return CKR_OK;
    objectClass = CKO_PRIVATE_KEY;
    rv = FindAll(session, keyAttribs, 2, objects, failedCall);
    *stands = rv == CKR_OK && !objects.empty();
    return rv;
}
