// The reminder: a check of the attached tokens in the background and a
// balloon of the notification-area icon when a certificate is due for
// renewal or a renewal was left without its certificate. A click on the
// balloon leads to the command that helps.
#pragma once

#include <windows.h>

#include "app/reminder_balloon.h"
#include "app/token_watch.h"

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

// Sets the main window's timers for the checks; a quiet start also watches
// for tokens attached.
void StartReminder(HWND mainWindow, bool quietStart);
// The main window's WM_TIMER: true when the timer was the reminder's.
bool ReminderTimer(HWND mainWindow, UINT_PTR timer);
// WM_DEVICECHANGE: a token may have come; the slot list is looked at soon.
void TokensMayHaveChanged(HWND mainWindow);
// WM_TOKEN_CHECK_DONE: shows the balloon the findings call for, if any.
void TokenCheckDone(HWND mainWindow, LPARAM findings);
// The notification-area icon was added again: a balloon that found no icon
// is shown now.
void ReminderIconBack(HWND mainWindow);
// A click on the balloon: the renewal dialog for the certificate it named,
// or the command that writes a certificate from a file.
void ReminderClicked(HWND mainWindow);
