// The reminder's check: the search of the attached tokens without its
// dialog, on a thread of its own (token work that gives way,
// token/token_work), and the findings it hands to the main window.
#pragma once

#include <windows.h>

#include "cert/cert_record.h"
#include "token/search.h"

// What the check found, handed from its thread to the main window.
struct CheckFindings {
    CertList found;
    UnfinishedRenewal unfinished[maxUnfinishedRenewals];
    int unfinishedCount;
};

// Starts a check: a whole one, or only a look for tokens attached since the
// last. False, with nothing started, while other token work keeps it from
// starting.
bool RunCheck(HWND mainWindow, bool whole);

// The findings that WM_TOKEN_CHECK_DONE's lParam carries, now the caller's
// (delete); null for a message the check did not post or whose findings
// were taken already.
CheckFindings *TakeCheckFindings(LPARAM parameter);
