// The renewal dialog: choose a certificate, see the holder, renew.
#pragma once

#include <windows.h>

INT_PTR CALLBACK RenewalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
