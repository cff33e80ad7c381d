// The renewal dialog: choose a certificate, see the holder, renew.
#pragma once

#include <windows.h>
#include <wincrypt.h>

INT_PTR CALLBACK RenewalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// Opens the renewal dialog as the menu does and runs its search, which
// chooses the wanted certificate (the same issuer and serial number) without
// the list: its holder is shown and "Продлить" is ready; when it is not found
// nothing is chosen and a box says so, naming it by wantedName. An open
// dialog busy with a dialog of its own only comes forward.
void ShowRenewalDialogFor(HWND mainWindow, PCCERT_CONTEXT wanted, const wchar_t *wantedName);
