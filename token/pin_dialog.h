// PIN entry for one renewal.
#pragma once

#include <windows.h>

// The PIN typed for the current renewal, narrow text in the ANSI code page.
extern char pinBuffer[100];

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
