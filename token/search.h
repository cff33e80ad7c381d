// The search for tokens and certificates behind the search dialog: fills
// certList and sets selectedIndex to -1.
#pragma once

#include <windows.h>

INT_PTR CALLBACK SearchDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
