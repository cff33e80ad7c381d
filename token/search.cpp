// The search for tokens and certificates: a worker thread behind the small
// search dialog reads every certificate object of every attached token into
// certList. It never logs in and reports nothing: whatever cannot be read is
// passed over.
#include "token/search.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "cert/cert_record.h"
#include "res/resource.h"
#include "token/key_objects.h"
#include "token/token_library.h"
#include "token/token_work.h"

namespace {

CK_ULONG const maxCertificates = 128;
// Far above any certificate: the quiet run passes a larger value over.
CK_ULONG const maxValueLength = 64 * 1024;
// Tokens attached while the slot list is read make it grow; it is read again
// this many times at most.
int const slotListAttempts = 5;

wchar_t const searchingText[] = L"Ищем носители";
wchar_t const tokenCountText[] = L"Носителей: %lu";

// Shows the number of tokens and sizes the progress bar for three steps each.
void ShowTokenCount(HWND dialog, HWND progress, CK_ULONG slotsCount)
{
    SendMessageW(progress, PBM_SETRANGE32, 0, (LPARAM)(3 * slotsCount));
    SendMessageW(progress, PBM_SETSTEP, 1, 0);
    wchar_t tokenCountMsg[64];
    swprintf(tokenCountMsg, 64, tokenCountText, (unsigned long)slotsCount);
    SendDlgItemMessageW(dialog, IDC_SEARCH_STATUS, WM_SETTEXT, 0, (LPARAM)tokenCountMsg);
}

}  // namespace

// The loop over the array never runs past it: a token attached meanwhile
// makes the list too small, and it is read anew.
CK_SLOT_ID *ReadSlotList(CK_ULONG &slotsCount)
{
    for (int attempt = 0; attempt < slotListAttempts && slotsCount > 0; ++attempt) {
        CK_SLOT_ID *slots = new CK_SLOT_ID[slotsCount]();
        CK_ULONG filled = slotsCount;
        CK_RV rv = C_GetSlotList(CK_TRUE, slots, &filled);
        if (rv == CKR_OK && filled <= slotsCount) {
            slotsCount = filled;
            return slots;
        }
        delete[] slots;
        if (rv != CKR_BUFFER_TOO_SMALL || C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK)
            break;
    }
    slotsCount = 0;
    return nullptr;
}

namespace {

// One run of the search: behind its dialog, or quietly for the background
// check, which may be stopped and also looks for unfinished renewals.
struct SearchRun {
    CertList *list;
    HWND dialog;
    HWND progress;
    bool quiet;
    UnfinishedRenewal *unfinished;
    int unfinishedCount;
    // The tokens whose certificates the quiet run read; null behind the dialog.
    std::vector<TokenInSlot> *read;
};

// Before each library call: a quiet run ends when it is asked to.
bool Stopped(const SearchRun &run)
{
    return run.quiet && TokenCheckStopping();
}

// The objects the search template finds, at most room of them; 0 when the
// search fails.
CK_RV FindObjects(const SearchRun &run, CK_SESSION_HANDLE session, CK_ATTRIBUTE *attribs, CK_ULONG attribsCount,
                  CK_OBJECT_HANDLE *objects, CK_ULONG room, CK_ULONG *count)
{
    *count = 0;
    if (Stopped(run))
        return CKR_FUNCTION_CANCELED;
    CK_RV rv = C_FindObjectsInit(session, attribs, attribsCount);
    if (rv != CKR_OK)
        return rv;
    rv = FindObjectsUpTo(session, objects, room, count, run.quiet ? TokenCheckStopping : nullptr);
    if (Stopped(run))
        return CKR_FUNCTION_CANCELED;
    C_FindObjectsFinal(session);
    return rv;
}

// What came of reading one certificate object.
enum CertificateRead {
    ValueRead,
    // Over the room the quiet run allows: it never will be read, and its
    // token is not looked at again for it.
    ValueTooLarge,
    // Not read now (a token still settling, or busy): its token is.
    ValueUnread,
};

// A certificate's value and identifier. The search dialog reads them into
// its fixed buffers, as it always has, and passes a longer value over; the
// quiet run reads a value of any size, its size first, so that a large
// certificate still counts.
CertificateRead ReadCertificate(const SearchRun &run, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                std::vector<CK_BYTE> &value, CK_BYTE ckaID[256], CK_ULONG *idLength)
{
    memset(ckaID, 0, 256);
    if (!run.quiet) {
        value.assign(4096, 0);
        CK_ATTRIBUTE CertAttr[2] = {
            {CKA_VALUE, value.data(), (CK_ULONG)value.size()},
            {CKA_ID, ckaID, 256},
        };
        if (C_GetAttributeValue(session, object, CertAttr, 2) != CKR_OK || CertAttr[0].ulValueLen > value.size() ||
            CertAttr[1].ulValueLen > 256)
            return ValueUnread;
        value.resize(CertAttr[0].ulValueLen);
        *idLength = CertAttr[1].ulValueLen;
        return ValueRead;
    }
    CK_ATTRIBUTE sizes[2] = {{CKA_VALUE, nullptr, 0}, {CKA_ID, nullptr, 0}};
    if (Stopped(run) || C_GetAttributeValue(session, object, sizes, 2) != CKR_OK)
        return ValueUnread;
    if (sizes[0].ulValueLen > maxValueLength || sizes[1].ulValueLen > 256)
        return ValueTooLarge;
    value.assign(sizes[0].ulValueLen + 1, 0);
    CK_ATTRIBUTE CertAttr[2] = {
        {CKA_VALUE, value.data(), (CK_ULONG)value.size()},
        {CKA_ID, ckaID, 256},
    };
    // The extra byte shows a value that grew between the two calls.
    if (Stopped(run) || C_GetAttributeValue(session, object, CertAttr, 2) != CKR_OK ||
        CertAttr[0].ulValueLen >= value.size() || CertAttr[1].ulValueLen > 256)
        return ValueUnread;
    value.resize(CertAttr[0].ulValueLen);
    *idLength = CertAttr[1].ulValueLen;
    return ValueRead;
}

void Step(const SearchRun &run)
{
    if (run.progress)
        SendMessageW(run.progress, PBM_STEPIT, 0, 0);
}

bool SameId(const std::vector<CK_BYTE> &id, const CK_BYTE *other, CK_ULONG length)
{
    return id.size() == length && (length == 0 || memcmp(id.data(), other, length) == 0);
}

// The token's label as text: UTF-8, padded with blanks to 32 bytes.
void TokenLabel(const CK_TOKEN_INFO &tokenInfo, wchar_t label[33])
{
    int length = sizeof tokenInfo.label;
    while (length > 0 && tokenInfo.label[length - 1] == ' ')
        --length;
    int written = MultiByteToWideChar(CP_UTF8, 0, (const char *)tokenInfo.label, length, label, 32);
    label[written > 0 ? written : 0] = 0;
}

// Notes the public keys with a renewal's identifier that no certificate of
// the token carries. Called only when every certificate of the token was
// read: a pair is unfinished only when it is sure that none has its
// identifier.
void FindUnfinishedRenewals(CK_SESSION_HANDLE session, CK_SLOT_ID slot, const CK_TOKEN_INFO &tokenInfo,
                            const std::vector<std::vector<CK_BYTE>> &certificateIds, SearchRun &run)
{
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE keyAttribs[2] = {
        {CKA_CLASS, &keyClass, sizeof(keyClass)},
        {CKA_TOKEN, &token, sizeof(token)},
    };
    CK_OBJECT_HANDLE keys[maxCertificates];
    CK_ULONG keysCount = 0;
    if (FindObjects(run, session, keyAttribs, 2, keys, maxCertificates, &keysCount) == CKR_FUNCTION_CANCELED)
        return;

    for (CK_ULONG i = 0; i < keysCount && run.unfinishedCount < maxUnfinishedRenewals; ++i) {
        CK_BYTE id[256];
        CK_ATTRIBUTE idAttr = {CKA_ID, id, sizeof(id)};
        if (Stopped(run))
            return;
        if (C_GetAttributeValue(session, keys[i], &idAttr, 1) != CKR_OK || idAttr.ulValueLen > sizeof(id) ||
            !IsRenewalCKAID(id, idAttr.ulValueLen))
            continue;
        bool certified = false;
        for (const std::vector<CK_BYTE> &certificateId : certificateIds)
            certified = certified || SameId(certificateId, id, idAttr.ulValueLen);
        if (certified)
            continue;
        UnfinishedRenewal &pair = run.unfinished[run.unfinishedCount++];
        pair.slot = slot;
        TokenLabel(tokenInfo, pair.tokenLabel);
        memcpy(pair.tokenSerial, tokenInfo.serialNumber, sizeof tokenInfo.serialNumber);
        pair.tokenSerial[sizeof tokenInfo.serialNumber] = 0;
        memset(pair.id, 0, sizeof pair.id);
        memcpy(pair.id, id, idAttr.ulValueLen);
        pair.idLength = idAttr.ulValueLen;
    }
}

// Adds a record for every certificate object of the token in the slot. A
// stopped run leaves its session to C_Finalize, which the stop is for.
void SearchToken(CK_SLOT_ID slot, const CK_TOKEN_INFO &tokenInfo, SearchRun &run)
{
    CK_SESSION_HANDLE session = 0;
    if (Stopped(run))
        return;
    if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        Step(run);
        if (!Stopped(run))
            C_CloseAllSessions(slot);
        return;
    }

    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE certAttribs[2] = {
        {CKA_CLASS, &certClass, sizeof(certClass)},
        {CKA_TOKEN, &token, sizeof(token)},
    };
    CK_OBJECT_HANDLE certificates[maxCertificates];
    CK_ULONG certsCount = 0;
    CK_RV rv = FindObjects(run, session, certAttribs, 2, certificates, maxCertificates, &certsCount);
    if (rv == CKR_FUNCTION_CANCELED)
        return;
    Step(run);

    // The quiet run tells a renewal's pair from a finished one by these,
    // and only when it has them all: a failed search, a full room or a
    // certificate it could not read may hide the pair's certificate.
    std::vector<std::vector<CK_BYTE>> certificateIds;
    bool everyCertificateRead = rv == CKR_OK && certsCount < maxCertificates;
    // The token counts as read once every object its search gave was read,
    // or never can be: one that failed now is read at a later look.
    bool tokenRead = rv == CKR_OK;
    std::vector<CK_BYTE> CertVal;
    unsigned char ckaID[256];
    for (CK_ULONG i = 0; i < certsCount; ++i) {
        CK_ULONG idLength = 0;
        if (Stopped(run))
            return;
        CertificateRead result = ReadCertificate(run, session, certificates[i], CertVal, ckaID, &idLength);
        if (result != ValueRead) {
            everyCertificateRead = false;
            tokenRead = tokenRead && result == ValueTooLarge;
            continue;
        }
        if (run.quiet)
            certificateIds.emplace_back(ckaID, ckaID + idLength);
        // Decode exactly the value the token returned.
        PCCERT_CONTEXT context = CertCreateCertificateContext(
            X509_ASN_ENCODING, CertVal.data(), CertVal.size());
        // A value that is not a certificate still gets its (empty) row.
        run.list->add(CertRecord(context, slot, ckaID, idLength));
        if (context)
            CertFreeCertificateContext(context);
    }
    if (run.quiet && everyCertificateRead)
        FindUnfinishedRenewals(session, slot, tokenInfo, certificateIds, run);
    if (run.read && tokenRead && !Stopped(run)) {
        TokenInSlot token = {slot, ""};
        memcpy(token.serial, tokenInfo.serialNumber, sizeof tokenInfo.serialNumber);
        token.serial[sizeof tokenInfo.serialNumber] = 0;
        run.read->push_back(token);
    }

    if (Stopped(run))
        return;
    C_CloseSession(session);
    if (Stopped(run))
        return;
    C_CloseAllSessions(slot);
}

// Every token of the slot list, in its order.
void SearchSlots(SearchRun &run)
{
    CK_ULONG slotsCount = 0;
    if (Stopped(run) || C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK || slotsCount == 0)
        return;
    if (run.dialog)
        ShowTokenCount(run.dialog, run.progress, slotsCount);
    CK_ULONG reported = slotsCount;
    if (Stopped(run))
        return;
    CK_SLOT_ID *slots = ReadSlotList(slotsCount);
    if (run.dialog && slotsCount != reported && slotsCount > 0)
        ShowTokenCount(run.dialog, run.progress, slotsCount);
    for (CK_ULONG i = 0; i < slotsCount && !Stopped(run); ++i) {
        CK_SLOT_INFO slotInfo;
        C_GetSlotInfo(slots[i], &slotInfo);
        Step(run);
        CK_TOKEN_INFO tokenInfo;
        if (Stopped(run) || C_GetTokenInfo(slots[i], &tokenInfo) != CKR_OK)
            continue;
        Step(run);
        SearchToken(slots[i], tokenInfo, run);
    }
    delete[] slots;
}

}  // namespace

int SearchTokensQuietly(CertList &found, UnfinishedRenewal *unfinished, std::vector<TokenInSlot> &read)
{
    SearchRun run = {&found, nullptr, nullptr, true, unfinished, 0, &read};
    SearchSlots(run);
    return run.unfinishedCount;
}

static DWORD WINAPI SearchThread(LPVOID dialogWindow);

// Dialog-box function for the search dialog: starts the worker, which ends
// the dialog itself; the user cannot close it.
INT_PTR CALLBACK SearchDialogProc(HWND dialog, UINT msg, WPARAM, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: {
        StartTokenWorker(dialog, SearchThread, dialog);
        return TRUE;
    }
    }
    return FALSE;
}

static DWORD WINAPI SearchThread(LPVOID dialogWindow)
{
    HWND dialog = (HWND)dialogWindow;
    selectedIndex = -1;
    certList.clear();
    SendDlgItemMessageW(dialog, IDC_SEARCH_STATUS, WM_SETTEXT, 0, (LPARAM)searchingText);

    SearchRun run = {&certList, dialog, GetDlgItem(dialog, IDC_SEARCH_PROGRESS), false, nullptr, 0, nullptr};
    SearchSlots(run);
    TokenWorkEnd();

    Sleep(1000);
    EndDialog(dialog, 0);
    return 0;
}
