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

// One balloon for the due certificates that found holds and that were not
// reminded of today: it names the one that ends first and counts the others.
// The tokens in pairSlots have an unfinished renewal that is reminded of
// instead. False when there is none. The main window's share of a check.
bool RemindOfDueCertificates(HWND mainWindow, CertList &found, const std::vector<CK_SLOT_ID> &pairSlots);

// The balloon's text for a due certificate: name cut with "…" where the
// whole would not fit, never the date or the lines after it. others is the
// number of the other certificates due.
void DueCertificateText(const wchar_t *name, const SYSTEMTIME &validToLocal, bool ended, int others,
                        wchar_t text[BALLOON_TEXT_ROOM]);
// The balloon's text for a renewal left without its certificate.
void UnfinishedRenewalText(const wchar_t *tokenLabel, wchar_t text[BALLOON_TEXT_ROOM]);

// A token in a slot at one look of the check; answered when C_GetTokenInfo
// did, with its serial number then.
struct AttachedToken {
    CK_SLOT_ID slot;
    bool answered;
    char serial[17];
};

// A token the check has looked at since it was attached: read once its
// certificates were read, otherwise looked at again from nextLookMs on
// (GetTickCount64), after failedLooks looks that could not read it.
struct WatchedToken {
    CK_SLOT_ID slot;
    char serial[17];
    bool read;
    int failedLooks;
    ULONGLONG nextLookMs;
};

// A token that could not be read is looked at again this long after its
// first failed look, twice as long after each further one, at most the
// longest.
const ULONGLONG UNREAD_TOKEN_FIRST_WAIT_MS = 10 * 1000;
const ULONGLONG UNREAD_TOKEN_LONGEST_WAIT_MS = 30 * 60 * 1000;

// Forgets the watched tokens that are no longer attached (taken out, or
// another token in their slot) and says whether attached holds a token to
// look at at nowMs: one that answered and is not watched, or one not read
// whose next look has come.
bool TokensToLookAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached, ULONGLONG nowMs);
// After a look that started at lookMs: the attached tokens in read are read;
// every other one that answered is looked at again later, at doubling waits.
void NoteTokensLookedAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached,
                        const std::vector<TokenInSlot> &read, ULONGLONG lookMs);

// Whether an unfinished renewal is still reminded of at nowLocal: during the
// 30 days after the local time its identifier names, the renewal's start.
bool UnfinishedRenewalReminded(const UnfinishedRenewal &pair, const SYSTEMTIME &nowLocal);
// The same, now by the local clock.
bool UnfinishedRenewalRemindedNow(const UnfinishedRenewal &pair);
