// The renewal dialog: choose a certificate, see the holder, renew.
#pragma once

#include <windows.h>

// The open renewal dialog, null when none is open.
extern HWND renewalDialog;

INT_PTR CALLBACK RenewalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// 12 x (later year - earlier year) + (later month - earlier month).
int MonthsBetween(const SYSTEMTIME &later, const SYSTEMTIME &earlier);
