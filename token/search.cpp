// The search for tokens and certificates: a worker thread behind the small
// search dialog reads every certificate object of every attached token into
// certList. It never logs in and reports nothing: whatever cannot be read is
// passed over.
#include "token/search.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "cert/cert_record.h"
#include "res/resource.h"
#include "token/token_library.h"
#include "token/token_work.h"

namespace {

CK_ULONG const maxCertificates = 128;
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

// Adds a record for every certificate object of the token in the slot.
void SearchToken(CK_SLOT_ID slot, HWND progress)
{
    CK_SESSION_HANDLE session = 0;
    if (C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        SendMessageW(progress, PBM_STEPIT, 0, 0);
        C_CloseAllSessions(slot);
        return;
    }

    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL token = CK_TRUE;
    CK_ATTRIBUTE certAttribs[2] = {
        {CKA_CLASS, &certClass, sizeof(certClass)},
        {CKA_TOKEN, &token, sizeof(token)},
    };
    unsigned char CertVal[4096];
    unsigned char ckaID[256];
    memset(CertVal, 0, sizeof(CertVal));
    memset(ckaID, 0, sizeof(ckaID));

    CK_OBJECT_HANDLE certificates[maxCertificates];
    CK_ULONG certsCount = 0;
    if (C_FindObjectsInit(session, certAttribs, 2) == CKR_OK) {
        if (C_FindObjects(session, certificates, maxCertificates, &certsCount) != CKR_OK
            || certsCount > maxCertificates)
            certsCount = 0;
        C_FindObjectsFinal(session);
    }
    SendMessageW(progress, PBM_STEPIT, 0, 0);

    for (CK_ULONG i = 0; i < certsCount; ++i) {
        memset(ckaID, 0, sizeof(ckaID));
        CK_ATTRIBUTE CertAttr[2] = {
            {CKA_VALUE, CertVal, sizeof(CertVal)},
            {CKA_ID, ckaID, sizeof(ckaID)},
        };
        if (C_GetAttributeValue(session, certificates[i], CertAttr, 2) != CKR_OK)
            continue;
        if (CertAttr[0].ulValueLen > sizeof(CertVal) || CertAttr[1].ulValueLen > sizeof(ckaID))
            continue;
        // Decode exactly the value the token returned: the buffer may still
        // hold the tail of a longer certificate read before this one.
        PCCERT_CONTEXT context = CertCreateCertificateContext(
            X509_ASN_ENCODING, CertVal, CertAttr[0].ulValueLen);
        // A value that is not a certificate still gets its (empty) row.
        certList.add(CertRecord(context, slot, ckaID, CertAttr[1].ulValueLen));
        if (context)
            CertFreeCertificateContext(context);
    }

    C_CloseSession(session);
    C_CloseAllSessions(slot);
}

}  // namespace

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
    HWND progress = GetDlgItem(dialog, IDC_SEARCH_PROGRESS);
    CK_ULONG slotsCount = 0;
    selectedIndex = -1;
    certList.clear();
    SendDlgItemMessageW(dialog, IDC_SEARCH_STATUS, WM_SETTEXT, 0, (LPARAM)searchingText);

    if (C_GetSlotList(CK_TRUE, nullptr, &slotsCount) == CKR_OK && slotsCount > 0) {
        ShowTokenCount(dialog, progress, slotsCount);
        CK_ULONG reported = slotsCount;
        CK_SLOT_ID *slots = ReadSlotList(slotsCount);
        if (slotsCount != reported && slotsCount > 0)
            ShowTokenCount(dialog, progress, slotsCount);
        for (CK_ULONG i = 0; i < slotsCount; ++i) {
            CK_SLOT_INFO slotInfo;
            C_GetSlotInfo(slots[i], &slotInfo);
            SendMessageW(progress, PBM_STEPIT, 0, 0);
            CK_TOKEN_INFO tokenInfo;
            if (C_GetTokenInfo(slots[i], &tokenInfo) != CKR_OK)
                continue;
            SendMessageW(progress, PBM_STEPIT, 0, 0);
            SearchToken(slots[i], progress);
        }
        delete[] slots;
    }
    TokenWorkEnd();

    Sleep(1000);
    EndDialog(dialog, 0);
    return 0;
}
