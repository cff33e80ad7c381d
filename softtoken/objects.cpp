#include "softtoken/objects.h"

#include "softtoken/library_state.h"

#include <cstring>

static std::string Ulong(CK_ULONG value)
{
    return std::string((const char *)&value, sizeof value);
}

static const std::string yes(1, '\1'), no(1, '\0');

bool TemplateReadable(const CK_ATTRIBUTE *attributes, CK_ULONG count)
{
    if (count > 0 && !attributes)
        return false;
    for (CK_ULONG i = 0; i < count; ++i)
        if (!attributes[i].pValue && attributes[i].ulValueLen > 0)
            return false;
    return true;
}

bool Visible(const StoredObject &object, CK_SLOT_ID slot)
{
    return !object.GetBool(CKA_PRIVATE, false) || library.loggedIn.count(slot) != 0;
}

bool Matches(const StoredObject &object, const CK_ATTRIBUTE *pattern, CK_ULONG count)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        auto it = object.attributes.find(pattern[i].type);
        if (it == object.attributes.end() || it->second.size() != pattern[i].ulValueLen ||
            (pattern[i].ulValueLen && memcmp(it->second.data(), pattern[i].pValue, pattern[i].ulValueLen) != 0))
            return false;
    }
    return true;
}

bool Sensitive(const StoredObject &object, CK_ATTRIBUTE_TYPE type)
{
    return type == CKA_VALUE && object.GetUlong(CKA_CLASS, 0) == CKO_PRIVATE_KEY;
}

static bool IsBooleanAttribute(CK_ATTRIBUTE_TYPE type)
{
    switch (type) {
    case CKA_TOKEN:
    case CKA_PRIVATE:
    case CKA_MODIFIABLE:
    case CKA_SENSITIVE:
    case CKA_EXTRACTABLE:
    case CKA_SIGN:
    case CKA_VERIFY:
    case CKA_DERIVE:
    case CKA_ENCRYPT:
    case CKA_DECRYPT:
    case CKA_WRAP:
    case CKA_UNWRAP:
    case CKA_TRUSTED:
        return true;
    default:
        return false;
    }
}

// Copies a template over the defaults. Every object of this token lives on
// the token: CKA_TOKEN false is refused rather than kept in memory.
static CK_RV ApplyTemplate(const CK_ATTRIBUTE *attributes, CK_ULONG count, bool generated, StoredObject &object)
{
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE &attribute = attributes[i];
        std::string value;
        if (attribute.ulValueLen)
            value.assign((const char *)attribute.pValue, attribute.ulValueLen);
        if (IsBooleanAttribute(attribute.type) && value.size() != 1)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if ((attribute.type == CKA_CLASS || attribute.type == CKA_KEY_TYPE || attribute.type == CKA_CERTIFICATE_TYPE) &&
            value.size() != sizeof(CK_ULONG))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (attribute.type == CKA_TOKEN && value[0] == 0)
            return CKR_TEMPLATE_INCONSISTENT;
        if (generated && (attribute.type == CKA_VALUE || attribute.type == CKA_LOCAL))
            return CKR_ATTRIBUTE_READ_ONLY;
        if (object.Has(attribute.type) && (attribute.type == CKA_CLASS || attribute.type == CKA_KEY_TYPE) &&
            object.Get(attribute.type) != value)
            return CKR_TEMPLATE_INCONSISTENT;
        object.attributes[attribute.type] = value;
    }
    return CKR_OK;
}

static bool TemplateHas(const CK_ATTRIBUTE *attributes, CK_ULONG count, CK_ATTRIBUTE_TYPE type)
{
    for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].type == type)
            return true;
    return false;
}

static StoredObject KeyDefaults(CK_OBJECT_CLASS objectClass, CK_KEY_TYPE keyType)
{
    StoredObject key;
    key.attributes = {
        {CKA_CLASS, Ulong(objectClass)},
        {CKA_KEY_TYPE, Ulong(keyType)},
        {CKA_TOKEN, yes},
        {CKA_MODIFIABLE, yes},
        {CKA_LABEL, ""},
        {CKA_ID, ""},
        {CKA_DERIVE, no},
    };
    if (objectClass == CKO_PRIVATE_KEY) {
        key.attributes[CKA_PRIVATE] = yes;
        key.attributes[CKA_SENSITIVE] = yes;
        key.attributes[CKA_EXTRACTABLE] = no;
        key.attributes[CKA_SIGN] = yes;
    } else {
        key.attributes[CKA_PRIVATE] = no;
        key.attributes[CKA_VERIFY] = yes;
    }
    return key;
}

// Copies the domain parameters that one template of a pair gives to the
// other, so that both keys carry them.
static CK_RV ShareParameters(StoredObject &publicKey, StoredObject &privateKey)
{
    for (CK_ATTRIBUTE_TYPE type : {CKA_GOSTR3410_PARAMS, CKA_GOSTR3411_PARAMS}) {
        if (publicKey.Has(type) && privateKey.Has(type) && publicKey.Get(type) != privateKey.Get(type))
            return CKR_TEMPLATE_INCONSISTENT;
        if (publicKey.Has(type))
            privateKey.attributes[type] = publicKey.Get(type);
        else if (privateKey.Has(type))
            publicKey.attributes[type] = privateKey.Get(type);
    }
    return CKR_OK;
}

CK_RV MakeKeyPair(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE *publicTemplate, CK_ULONG publicCount,
                  const CK_ATTRIBUTE *privateTemplate, CK_ULONG privateCount, StoredObject &publicKey,
                  StoredObject &privateKey)
{
    if (!TemplateHas(publicTemplate, publicCount, CKA_GOSTR3410_PARAMS))
        return CKR_TEMPLATE_INCOMPLETE;
    CK_KEY_TYPE keyType = mechanism == CKM_GOSTR3410_512_KEY_PAIR_GEN ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
    publicKey = KeyDefaults(CKO_PUBLIC_KEY, keyType);
    privateKey = KeyDefaults(CKO_PRIVATE_KEY, keyType);
    CK_RV rv = ApplyTemplate(publicTemplate, publicCount, true, publicKey);
    if (rv == CKR_OK)
        rv = ApplyTemplate(privateTemplate, privateCount, true, privateKey);
    if (rv == CKR_OK)
        rv = ShareParameters(publicKey, privateKey);
    GostKey key;
    if (rv == CKR_OK)
        rv = ResolveKey(keyType, publicKey.Get(CKA_GOSTR3410_PARAMS), publicKey.Get(CKA_GOSTR3411_PARAMS), key);
    if (rv != CKR_OK)
        return rv;
    std::string publicValue, privateValue;
    if (!GostGenerateKeyPair(key.kind, key.params->curve, publicValue, privateValue))
        return CKR_FUNCTION_FAILED;
    for (StoredObject *object : {&publicKey, &privateKey}) {
        object->attributes[CKA_GOSTR3411_PARAMS] = HashParamsOf(key.kind);
        object->attributes[CKA_LOCAL] = yes;
        object->attributes[CKA_KEY_GEN_MECHANISM] = Ulong(mechanism);
    }
    privateKey.attributes[CKA_ALWAYS_SENSITIVE] = yes;
    privateKey.attributes[CKA_NEVER_EXTRACTABLE] = yes;
    publicKey.attributes[CKA_VALUE] = publicValue;
    privateKey.attributes[CKA_VALUE] = privateValue;
    return CKR_OK;
}

CK_RV MakeObject(const CK_ATTRIBUTE *attributes, CK_ULONG count, StoredObject &object)
{
    const CK_ATTRIBUTE *classAttribute = nullptr;
    for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].type == CKA_CLASS)
            classAttribute = &attributes[i];
    if (!classAttribute)
        return CKR_TEMPLATE_INCOMPLETE;
    if (classAttribute->ulValueLen != sizeof(CK_ULONG))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    CK_OBJECT_CLASS objectClass = *(const CK_ULONG *)classAttribute->pValue;
    switch (objectClass) {
    case CKO_CERTIFICATE:
        object.attributes = {
            {CKA_CLASS, Ulong(objectClass)}, {CKA_TOKEN, yes}, {CKA_PRIVATE, no},      {CKA_MODIFIABLE, yes},
            {CKA_LABEL, ""},                 {CKA_ID, ""},     {CKA_TRUSTED, no},      {CKA_CERTIFICATE_TYPE, Ulong(CKC_X_509)},
        };
        break;
    case CKO_DATA:
        object.attributes = {
            {CKA_CLASS, Ulong(objectClass)}, {CKA_TOKEN, yes}, {CKA_PRIVATE, no}, {CKA_MODIFIABLE, yes}, {CKA_LABEL, ""},
        };
        break;
    case CKO_PUBLIC_KEY:
    case CKO_PRIVATE_KEY:
        // The key type is the template's (CKK_GOSTR3410 when it has none),
        // judged with the parameters below.
        object = KeyDefaults(objectClass, CKK_GOSTR3410);
        object.attributes.erase(CKA_KEY_TYPE);
        break;
    default:
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    CK_RV rv = ApplyTemplate(attributes, count, false, object);
    if (rv != CKR_OK)
        return rv;
    if (objectClass == CKO_CERTIFICATE && !object.Has(CKA_VALUE))
        return CKR_TEMPLATE_INCOMPLETE;
    if (objectClass == CKO_CERTIFICATE && object.GetUlong(CKA_CERTIFICATE_TYPE, 0) != CKC_X_509)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    if (objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY) {
        CK_KEY_TYPE keyType = object.GetUlong(CKA_KEY_TYPE, CKK_GOSTR3410);
        object.attributes[CKA_KEY_TYPE] = Ulong(keyType);
        if (!object.Has(CKA_VALUE) || !object.Has(CKA_GOSTR3410_PARAMS))
            return CKR_TEMPLATE_INCOMPLETE;
        if (keyType != CKK_GOSTR3410 && keyType != CKK_GOSTR3410_512)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        GostKey key;
        rv = ResolveKey(keyType, object.Get(CKA_GOSTR3410_PARAMS), object.Get(CKA_GOSTR3411_PARAMS), key);
        if (rv != CKR_OK)
            return rv;
        object.attributes[CKA_GOSTR3411_PARAMS] = HashParamsOf(key.kind);
        size_t size = GostSize(key.kind) * (objectClass == CKO_PUBLIC_KEY ? 2 : 1);
        if (object.Get(CKA_VALUE).size() != size)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        object.attributes[CKA_LOCAL] = no;
    }
    return CKR_OK;
}
