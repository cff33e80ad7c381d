// One renewal of the chosen certificate behind the renewal progress dialog.
#pragma once

#include <windows.h>

INT_PTR CALLBACK RenewalProgressDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
