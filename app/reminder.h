// The reminder: a check of the attached tokens in the background and a
// balloon of the notification-area icon when a certificate is due for
// renewal or a renewal was left without its certificate. A click on the
// balloon leads to the command that helps.
#pragma once

#include <windows.h>

#include <vector>

#include "token/search.h"
#include "token/token_library.h"

// A quiet start checks the tokens this long after it, once the logon has
// settled; a token attached later is checked within the same time.
const unsigned int REMINDER_FIRST_CHECK_MS = 30 * 1000;
// How often a quiet start looks at the slot list for a token attached.
const unsigned int TOKEN_WATCH_MS = 10 * 1000;
// The tokens are checked again this often while the program runs.
const unsigned int REMINDER_PERIOD_MS = 6 * 60 * 60 * 1000;

// The periods in force: the constants above, shortened by tests.
extern unsigned int reminderFirstCheckMs;
extern unsigned int tokenWatchMs;
extern unsigned int reminderPeriodMs;

// Sent by the check's thread to the main window when it is over; lParam
// carries its findings for TokenCheckDone.
UINT const WM_TOKEN_CHECK_DONE = WM_USER + 20;

// The balloon's room: 255 characters and the terminating zero.
int const BALLOON_TEXT_ROOM = 256;

// Sets the main window's timers for the checks; a quiet start also watches
// for tokens attached.
void StartReminder(HWND mainWindow, bool quietStart);
// The main window's WM_TIMER: true when the timer was the reminder's.
bool ReminderTimer(HWND mainWindow, UINT_PTR timer);
// WM_DEVICECHANGE: a token may have come; the slot list is looked at soon.
void TokensMayHaveChanged(HWND mainWindow);
// WM_TOKEN_CHECK_DONE: shows the balloon the findings call for, if any.
void TokenCheckDone(HWND mainWindow, LPARAM findings);
// A click on the balloon: the renewal dialog for the certificate it named,
// or the command that writes a certificate from a file.
void ReminderClicked(HWND mainWindow);

// The balloon's text for a due certificate: name cut with "…" where the
// whole would not fit, never the date or the lines after it. others is the
// number of the other certificates due.
void DueCertificateText(const wchar_t *name, const SYSTEMTIME &validToLocal, bool ended, int others,
                        wchar_t text[BALLOON_TEXT_ROOM]);
// The balloon's text for a renewal left without its certificate.
void UnfinishedRenewalText(const wchar_t *tokenLabel, wchar_t text[BALLOON_TEXT_ROOM]);

// A token in a slot at one look of the check; read when it answered
// (C_GetTokenInfo), with its serial number then.
struct AttachedToken {
    CK_SLOT_ID slot;
    bool read;
    char serial[17];
};
// Whether attached holds a token to check: one read now that seen (the tokens
// read at the last look) does not hold in its slot, be it a token that was
// not ready then or another token (serial number) in the same slot.
bool NewTokenAttached(const std::vector<AttachedToken> &seen, const std::vector<AttachedToken> &attached);

// Whether an unfinished renewal is still reminded of at nowLocal: during the
// 30 days after the local time its identifier names, the renewal's start.
bool UnfinishedRenewalReminded(const UnfinishedRenewal &pair, const SYSTEMTIME &nowLocal);
