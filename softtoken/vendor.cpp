// The vendor's extensions: certificate request, signed message, buffers.
#include "softtoken/library_state.h"
#include "softtoken/messages.h"
#include "softtoken/objects.h"
#include "softtoken/request_text.h"

#include <windows.h>

#include <cstring>

// Buffers handed out and not yet released: freeBuffer refuses anything else
// instead of corrupting the heap.
static std::set<CK_BYTE *> outstanding;

static CK_BYTE *HandOut(const std::string &bytes)
{
    CK_BYTE *buffer = new CK_BYTE[bytes.size() ? bytes.size() : 1];
    memcpy(buffer, bytes.data(), bytes.size());
    outstanding.insert(buffer);
    return buffer;
}

// The private key that belongs to a public key or certificate: the GOST
// private key object with the same CKA_ID, and its kind.
static const StoredObject *PrivateKeyFor(SlotState &state, const StoredObject &object, GostKey &key)
{
    for (auto &candidate : state.objects)
        if (candidate.GetUlong(CKA_CLASS, 0) == CKO_PRIVATE_KEY && candidate.Has(CKA_ID) &&
            candidate.Get(CKA_ID) == object.Get(CKA_ID) && KeyOf(candidate, key))
            return &candidate;
    return nullptr;
}

extern "C" {

CK_RV createCSR(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE publicKey, char **dn, CK_ULONG dnLength, CK_BYTE **csr,
                CK_ULONG *csrLength, CK_ULONG reserved1, CK_ULONG reserved2, CK_ULONG reserved3, char **exts,
                CK_ULONG extsLength)
{
    SessionEntry entry("createCSR", handle);
    entry.line.Add("public", publicKey);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if (!csr || !csrLength || reserved1 || reserved2 || reserved3)
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (!library.loggedIn.count(entry.state.id))
        return entry.Finish(CKR_USER_NOT_LOGGED_IN);
    StoredObject *key = entry.state.Find(publicKey);
    GostKey kind, privateKind;
    if (!key || !Visible(*key, entry.state.id) || key->GetUlong(CKA_CLASS, 0) != CKO_PUBLIC_KEY ||
        !KeyOf(*key, kind))
        return entry.Finish(CKR_KEY_HANDLE_INVALID);
    // The request is signed with the key it asks a certificate for.
    const StoredObject *privateKey = PrivateKeyFor(entry.state, *key, privateKind);
    if (!privateKey || privateKind.kind != kind.kind || privateKind.params != kind.params)
        return entry.Finish(CKR_KEY_HANDLE_INVALID);
    std::string name, extensions, error, request;
    if (!BuildSubjectName(dn, dnLength, name, error) ||
        (extsLength > 0 && !BuildExtensions(exts, extsLength, extensions, error)))
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (!BuildCertificationRequest(name, extensions, kind, key->Get(CKA_VALUE), privateKey->Get(CKA_VALUE),
                                   request))
        return entry.Finish(CKR_FUNCTION_FAILED);
    *csr = HandOut(request);
    *csrLength = request.size();
    entry.line.Add("length", request.size());
    return entry.Finish(CKR_OK);
}

CK_RV pkcs7Sign(CK_SESSION_HANDLE handle, CK_BYTE *data, CK_ULONG length, CK_OBJECT_HANDLE certificate,
                CK_BYTE **envelope, CK_ULONG *envelopeLength, CK_ULONG reserved1, CK_ULONG reserved2,
                CK_ULONG reserved3, CK_ULONG reserved4)
{
    SessionEntry entry("pkcs7Sign", handle);
    entry.line.Add("cert", certificate).Add("data", length);
    if (entry.rv != CKR_OK)
        return entry.Finish();
    if ((!data && length > 0) || !envelope || !envelopeLength || reserved1 || reserved2 || reserved3 || reserved4)
        return entry.Finish(CKR_ARGUMENTS_BAD);
    if (!library.loggedIn.count(entry.state.id))
        return entry.Finish(CKR_USER_NOT_LOGGED_IN);
    StoredObject *object = entry.state.Find(certificate);
    if (!object || !Visible(*object, entry.state.id) || object->GetUlong(CKA_CLASS, 0) != CKO_CERTIFICATE)
        return entry.Finish(CKR_OBJECT_HANDLE_INVALID);
    GostKey kind;
    const StoredObject *privateKey = PrivateKeyFor(entry.state, *object, kind);
    if (!privateKey)
        return entry.Finish(CKR_KEY_HANDLE_INVALID);
    SYSTEMTIME now;
    GetSystemTime(&now);
    const int time[6] = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    std::string message;
    if (!BuildSignedData(std::string((const char *)data, length), object->Get(CKA_VALUE), kind,
                         privateKey->Get(CKA_VALUE), time, message))
        return entry.Finish(CKR_FUNCTION_FAILED);
    *envelope = HandOut(message);
    *envelopeLength = message.size();
    entry.line.Add("length", message.size());
    return entry.Finish(CKR_OK);
}

CK_RV freeBuffer(CK_BYTE *buffer)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("freeBuffer");
    if (!buffer || !outstanding.erase(buffer))
        return line.Write(CKR_ARGUMENTS_BAD);
    delete[] buffer;
    CK_RV rv = library.initialized ? LibraryCall("freeBuffer") : CKR_OK;
    line.Write(rv);
    AfterCall("freeBuffer", nullptr);
    return rv;
}

}  // extern "C"
