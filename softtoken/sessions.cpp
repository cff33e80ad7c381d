// Sessions, login, object search, attributes, key generation and objects.
#include "softtoken/library_state.h"
#include "softtoken/der.h"
#include "softtoken/objects.h"

#include <cstring>

extern "C" {

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_OpenSession");
    line.Add("slot", slot).AddHex("flags", flags);
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    SlotState state;
    CK_RV rv = SlotCall(slot, "C_OpenSession", state);
    if (rv == CKR_OK && !session)
        rv = CKR_ARGUMENTS_BAD;
    else if (rv == CKR_OK && !state.present)
        rv = CKR_TOKEN_NOT_PRESENT;
    else if (rv == CKR_OK && !(flags & CKF_SERIAL_SESSION))
        rv = CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (rv == CKR_OK) {
        CK_SESSION_HANDLE handle = library.nextSession++;
        library.sessions[handle].slot = slot;
        library.sessions[handle].flags = flags;
        *session = handle;
        line.Add("session", handle);
    }
    line.Write(rv);
    if (rv != CKR_SLOT_ID_INVALID)
        AfterCall("C_OpenSession", &slot);
    return rv;
}

// Login lasts while the application has a session on the slot.
static void CloseSession(CK_SESSION_HANDLE handle)
{
    auto it = library.sessions.find(handle);
    if (it == library.sessions.end())
        return;
    CK_SLOT_ID slot = it->second.slot;
    library.sessions.erase(it);
    for (auto &entry : library.sessions)
        if (entry.second.slot == slot)
            return;
    library.loggedIn.erase(slot);
}

CK_RV C_CloseSession(CK_SESSION_HANDLE handle)
{
    SessionEntry entry("C_CloseSession", handle);
    if (entry.rv == CKR_OK)
        CloseSession(handle);
    return entry.Finish();
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_CloseAllSessions");
    line.Add("slot", slot);
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    SlotState state;
    CK_RV rv = SlotCall(slot, "C_CloseAllSessions", state);
    if (rv == CKR_OK)
        ForgetSlot(slot);
    line.Write(rv);
    if (rv != CKR_SLOT_ID_INVALID)
        AfterCall("C_CloseAllSessions", &slot);
    return rv;
}

CK_RV C_Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length)
{
    SessionEntry entry("C_Login", handle);
    entry.line.Add("user", user);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    SlotState &state = entry.state;
    CK_SLOT_ID slot = state.id;
    if (user != CKU_USER)
        return entry.Finish(CKR_USER_TYPE_INVALID);
    if (library.loggedIn.count(slot))
        return entry.Finish(CKR_USER_ALREADY_LOGGED_IN);
    if (!pin && length > 0)
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (state.triesLeft == 0)
        return entry.Finish(CKR_PIN_LOCKED);
    // A length the token cannot hold is refused before the PIN is checked,
    // so it costs no try.
    if (length < 1 || length > 32)
        return entry.Finish(CKR_PIN_LEN_RANGE);
    if (std::string((const char *)pin, length) != state.pin) {
        state.triesLeft--;
        if (!StoreSlot(state))
            return entry.Finish(CKR_DEVICE_ERROR);
        return entry.Finish(state.triesLeft == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT);
    }
    if (state.triesLeft != state.maxTries) {
        state.triesLeft = state.maxTries;
        if (!StoreSlot(state))
            return entry.Finish(CKR_DEVICE_ERROR);
    }
    library.loggedIn.insert(slot);
    return entry.Finish(CKR_OK);
}

CK_RV C_Logout(CK_SESSION_HANDLE handle)
{
    SessionEntry entry("C_Logout", handle);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!library.loggedIn.count(entry.state.id))
        return entry.Finish(CKR_USER_NOT_LOGGED_IN);
    library.loggedIn.erase(entry.state.id);
    return entry.Finish(CKR_OK);
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR pattern, CK_ULONG count)
{
    SessionEntry entry("C_FindObjectsInit", handle);
    entry.line.Add("attributes", count);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (entry.session->finding)
        return entry.Finish(CKR_OPERATION_ACTIVE);
    if (!TemplateReadable(pattern, count))
        return entry.Finish(CKR_ARGUMENTS_BAD);
    entry.session->found.clear();
    entry.session->nextFound = 0;
    for (auto &object : entry.state.objects)
        if (Visible(object, entry.state.id) && Matches(object, pattern, count))
            entry.session->found.push_back(object.handle);
    entry.session->finding = true;
    return entry.Finish(CKR_OK);
}

CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maximum, CK_ULONG_PTR count)
{
    SessionEntry entry("C_FindObjects", handle);
    entry.line.Add("max", maximum);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    Session &session = *entry.session;
    if (!session.finding)
        return entry.Finish(CKR_OPERATION_NOT_INITIALIZED);
    if (!count || (!objects && maximum > 0))
        return entry.Finish(CKR_ARGUMENTS_BAD);
    CK_ULONG given = 0;
    if (entry.state.faults.findBatch > 0 && library.faultsEnabled && maximum > entry.state.faults.findBatch)
        maximum = entry.state.faults.findBatch;
    while (given < maximum && session.nextFound < session.found.size())
        objects[given++] = session.found[session.nextFound++];
    *count = given;
    entry.line.Add("count", given);
    return entry.Finish(CKR_OK);
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle)
{
    SessionEntry entry("C_FindObjectsFinal", handle);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!entry.session->finding)
        return entry.Finish(CKR_OPERATION_NOT_INITIALIZED);
    entry.session->finding = false;
    entry.session->found.clear();
    return entry.Finish(CKR_OK);
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count)
{
    SessionEntry entry("C_GetAttributeValue", handle);
    entry.line.Add("object", objectHandle).Add("attributes", count);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!attributes && count > 0)
        return entry.Finish(CKR_ARGUMENTS_BAD);
    StoredObject *object = entry.state.Find(objectHandle);
    if (!object || !Visible(*object, entry.state.id))
        return entry.Finish(CKR_OBJECT_HANDLE_INVALID);
    // Every attribute is answered; the result names one of the problems met.
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE &attribute = attributes[i];
        if (Sensitive(*object, attribute.type)) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
        } else if (!object->Has(attribute.type)) {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
        } else {
            std::string value = object->attributes[attribute.type];
            if (entry.state.faults.publicValueDer && library.faultsEnabled && attribute.type == CKA_VALUE &&
                object->GetUlong(CKA_CLASS, 0) == CKO_PUBLIC_KEY && (value.size() == 64 || value.size() == 128))
                value = der::OctetString(value);
            if (!attribute.pValue) {
                attribute.ulValueLen = value.size();
            } else if (attribute.ulValueLen >= value.size()) {
                memcpy(attribute.pValue, value.data(), value.size());
                attribute.ulValueLen = value.size();
            } else {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            }
        }
    }
    return entry.Finish(rv);
}

static std::string TemplateTypes(CK_ATTRIBUTE_PTR attributes, CK_ULONG count)
{
    std::string names;
    for (CK_ULONG i = 0; i < count; ++i)
        names += (i ? "," : "") + AttributeName(attributes[i].type);
    return names;
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR publicTemplate,
                        CK_ULONG publicCount, CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                        CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey)
{
    SessionEntry entry("C_GenerateKeyPair", handle);
    if (mechanism)
        entry.line.AddHex("mechanism", mechanism->mechanism);
    // The attribute types each template gave, in order, so that tests see
    // what the caller asked for apart from the token's own defaults.
    if (TemplateReadable(publicTemplate, publicCount) && TemplateReadable(privateTemplate, privateCount))
        entry.line.AddText("public-template", TemplateTypes(publicTemplate, publicCount))
            .AddText("private-template", TemplateTypes(privateTemplate, privateCount));
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!mechanism || !publicKey || !privateKey || !TemplateReadable(publicTemplate, publicCount) ||
        !TemplateReadable(privateTemplate, privateCount))
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (!(entry.session->flags & CKF_RW_SESSION))
        return entry.Finish(CKR_SESSION_READ_ONLY);
    if (!library.loggedIn.count(entry.state.id))
        return entry.Finish(CKR_USER_NOT_LOGGED_IN);
    if (mechanism->mechanism != CKM_GOSTR3410_KEY_PAIR_GEN && mechanism->mechanism != CKM_GOSTR3410_512_KEY_PAIR_GEN)
        return entry.Finish(CKR_MECHANISM_INVALID);
    if (mechanism->pParameter || mechanism->ulParameterLen)
        return entry.Finish(CKR_MECHANISM_PARAM_INVALID);
    StoredObject publicObject, privateObject;
    CK_RV rv = MakeKeyPair(mechanism->mechanism, publicTemplate, publicCount, privateTemplate, privateCount,
                           publicObject, privateObject);
    if (rv != CKR_OK)
        return entry.Finish(rv);
    publicObject.handle = entry.state.nextHandle++;
    privateObject.handle = entry.state.nextHandle++;
    entry.state.objects.push_back(publicObject);
    entry.state.objects.push_back(privateObject);
    if (!StoreSlot(entry.state))
        return entry.Finish(CKR_DEVICE_ERROR);
    *publicKey = publicObject.handle;
    *privateKey = privateObject.handle;
    entry.line.Add("public", publicObject.handle).Add("private", privateObject.handle);
    return entry.Finish(CKR_OK);
}

CK_RV C_CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                     CK_OBJECT_HANDLE_PTR objectHandle)
{
    SessionEntry entry("C_CreateObject", handle);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!objectHandle || !TemplateReadable(attributes, count))
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (!(entry.session->flags & CKF_RW_SESSION))
        return entry.Finish(CKR_SESSION_READ_ONLY);
    StoredObject object;
    CK_RV rv = MakeObject(attributes, count, object);
    if (rv != CKR_OK)
        return entry.Finish(rv);
    if (object.GetBool(CKA_PRIVATE, false) && !library.loggedIn.count(entry.state.id))
        return entry.Finish(CKR_USER_NOT_LOGGED_IN);
    object.handle = entry.state.nextHandle++;
    entry.state.objects.push_back(object);
    if (!StoreSlot(entry.state))
        return entry.Finish(CKR_DEVICE_ERROR);
    *objectHandle = object.handle;
    entry.line.Add("object", object.handle);
    return entry.Finish(CKR_OK);
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle)
{
    SessionEntry entry("C_DestroyObject", handle);
    entry.line.Add("object", objectHandle);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    StoredObject *object = entry.state.Find(objectHandle);
    if (!object || !Visible(*object, entry.state.id))
        return entry.Finish(CKR_OBJECT_HANDLE_INVALID);
    if (!(entry.session->flags & CKF_RW_SESSION))
        return entry.Finish(CKR_SESSION_READ_ONLY);
    if (library.faultsEnabled)
        for (CK_OBJECT_HANDLE kept : entry.state.faults.undestroyable)
            if (kept == objectHandle)
                return entry.Finish(CKR_ACTION_PROHIBITED);
    auto &objects = entry.state.objects;
    for (auto it = objects.begin(); it != objects.end(); ++it)
        if (it->handle == objectHandle) {
            objects.erase(it);
            break;
        }
    if (!StoreSlot(entry.state))
        return entry.Finish(CKR_DEVICE_ERROR);
    return entry.Finish(CKR_OK);
}

}  // extern "C"
