// The reminder's check: the search of the attached tokens without its
// dialog, on a thread of its own (token work that gives way,
// token/token_work), and the findings it hands to the main window.
#pragma once

#include <windows.h>

#include <vector>

#include "app/token_watch.h"
#include "cert/cert_record.h"
#include "token/search.h"

// What the check found, handed from its thread to the main window, with the
// look that found it for the token watch.
struct CheckFindings {
    CertList found;
    UnfinishedRenewal unfinished[maxUnfinishedRenewals];
    int unfinishedCount;
    std::vector<AttachedToken> attached;
    std::vector<TokenInSlot> read;
    ULONGLONG lookMs;
};

// Starts a check: a whole one, or only a look for tokens attached since the
// last. False, with nothing started, while other token work keeps it from
// starting.
bool RunCheck(HWND mainWindow, bool whole);

// The findings that WM_TOKEN_CHECK_DONE's lParam carries, now the caller's
// (delete); null for a message the check did not post or whose findings
// were taken already.
CheckFindings *TakeCheckFindings(LPARAM parameter);

// Once the findings' balloon is shown, or none was called for, the tokens
// they read count as read. Until then none does: the watch looks at them
// again, so that a reminder the icon could not show is not lost.
void NoteFindingsShown(const CheckFindings &findings, bool shown);
