// The search for tokens and certificates behind the search dialog: fills
// certList and sets selectedIndex to -1.
#pragma once

#include <windows.h>

#include <vector>

#include "cert/cert_record.h"
#include "token/token_library.h"

INT_PTR CALLBACK SearchDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// Reads the slots with a token into a new array (delete[] by the caller; null
// when there is none) and their number into slotsCount, which comes in as the
// number that C_GetSlotList with no list reported.
CK_SLOT_ID *ReadSlotList(CK_ULONG &slotsCount);

// A key pair that a renewal of this program left on a token without its
// certificate: the renewal's identifier and no certificate object with it.
struct UnfinishedRenewal {
    CK_SLOT_ID slot;
    // The token's label without its padding.
    wchar_t tokenLabel[33];
    char tokenSerial[17];
    CK_BYTE id[256];
    CK_ULONG idLength;
};
int const maxUnfinishedRenewals = 8;

// A token by its slot and serial number: another token put into the same
// slot is another token.
struct TokenInSlot {
    CK_SLOT_ID slot;
    char serial[17];
};

// The search without its dialog, for the background check, on the check's
// thread (token/token_work): fills found as the search fills certList, and
// unfinished with at most maxUnfinishedRenewals pairs, whose number it
// returns. read receives the tokens whose certificates it read: the session
// opened, the object search ended and every certificate object it gave was
// read (or is too large ever to be). Public objects only, nothing shown; it
// stops before its next library call once TokenCheckStopping says so.
int SearchTokensQuietly(CertList &found, UnfinishedRenewal *unfinished, std::vector<TokenInSlot> &read);
