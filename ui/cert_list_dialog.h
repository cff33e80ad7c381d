// The certificate list dialog: shows certList, sets selectedIndex.
#pragma once

#include <windows.h>

INT_PTR CALLBACK CertListDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
