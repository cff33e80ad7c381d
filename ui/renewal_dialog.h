// The renewal dialog: choose a certificate, see the holder, renew.
#pragma once

#include <windows.h>

#include "ui/expiry_rule.h"

// The open renewal dialog, null when none is open.
extern HWND renewalDialog;

INT_PTR CALLBACK RenewalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
