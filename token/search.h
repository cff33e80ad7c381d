// The search for tokens and certificates behind the search dialog: fills
// certList and sets selectedIndex to -1.
#pragma once

#include <windows.h>

#include "token/token_library.h"

INT_PTR CALLBACK SearchDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// Reads the slots with a token into a new array (delete[] by the caller; null
// when there is none) and their number into slotsCount, which comes in as the
// number that C_GetSlotList with no list reported.
CK_SLOT_ID *ReadSlotList(CK_ULONG &slotsCount);
