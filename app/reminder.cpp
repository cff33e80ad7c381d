// The reminder beside the main window, which owns the notification-area
// icon: the timers that start the check, and the main window's entry points.
// The check, the token watch, the day record and the balloons are files of
// their own.
#include "app/reminder.h"

#include "app/reminder_check.h"

unsigned int reminderFirstCheckMs = REMINDER_FIRST_CHECK_MS;
unsigned int tokenWatchMs = TOKEN_WATCH_MS;
unsigned int reminderPeriodMs = REMINDER_PERIOD_MS;

namespace {

// The main window's timers (SHUTDOWN_BLOCK_TIMER is 1).
UINT_PTR const FIRST_CHECK_TIMER = 2;
UINT_PTR const TOKEN_WATCH_TIMER = 3;
UINT_PTR const PERIOD_TIMER = 4;
UINT_PTR const RETRY_TIMER = 5;
// A check that other token work kept from starting is tried again so soon.
UINT const CHECK_RETRY_MS = 10 * 1000;
// After a device change the slot list is looked at this soon.
UINT const DEVICE_SETTLE_MS = 2000;

// A quiet start watches the slot list once its first check has run.
bool watching = false;
// A device change has brought the next look forward: the rest of its burst
// does not put it off again.
bool deviceLookDue = false;

// A whole check that other token work kept from starting is due.
bool checkDeferred = false;
// The findings whose balloon found no icon: shown once it is back, or at the
// retry timer.
CheckFindings *keptFindings = nullptr;

// Starts a check unless token work keeps it from starting: a whole check is
// then tried again soon, a look at the slot list waits for the next one.
void StartCheck(HWND mainWindow, bool whole)
{
    if (RunCheck(mainWindow, whole) || !whole)
        return;
    checkDeferred = true;
    SetTimer(mainWindow, RETRY_TIMER, CHECK_RETRY_MS, nullptr);
}

// Shows the balloon the findings call for; findings whose balloon found no
// icon are kept for later, and fresh ones tried again at the retry timer.
void Remind(HWND mainWindow, CheckFindings *findings, bool fresh)
{
    Reminded reminded = RemindOfFindings(mainWindow, findings->found, findings->unfinished, findings->unfinishedCount);
    NoteFindingsShown(*findings, reminded != BalloonNotShown);
    if (reminded != BalloonNotShown) {
        delete findings;
        return;
    }
    keptFindings = findings;
    if (fresh)
        SetTimer(mainWindow, RETRY_TIMER, CHECK_RETRY_MS, nullptr);
}

}  // namespace

void StartReminder(HWND mainWindow, bool quietStart)
{
    if (quietStart)
        SetTimer(mainWindow, FIRST_CHECK_TIMER, reminderFirstCheckMs, nullptr);
    SetTimer(mainWindow, PERIOD_TIMER, reminderPeriodMs, nullptr);
}

bool ReminderTimer(HWND mainWindow, UINT_PTR timer)
{
    switch (timer) {
    case FIRST_CHECK_TIMER:
        KillTimer(mainWindow, FIRST_CHECK_TIMER);
        StartCheck(mainWindow, true);
        watching = true;
        SetTimer(mainWindow, TOKEN_WATCH_TIMER, tokenWatchMs, nullptr);
        return true;
    case TOKEN_WATCH_TIMER:
        // Set again: a device change may have brought it forward.
        deviceLookDue = false;
        SetTimer(mainWindow, TOKEN_WATCH_TIMER, tokenWatchMs, nullptr);
        StartCheck(mainWindow, false);
        return true;
    case PERIOD_TIMER:
        StartCheck(mainWindow, true);
        return true;
    case RETRY_TIMER:
        // A check's own findings stand for kept ones.
        KillTimer(mainWindow, RETRY_TIMER);
        if (checkDeferred) {
            checkDeferred = false;
            StartCheck(mainWindow, true);
        } else {
            ReminderIconBack(mainWindow);
        }
        return true;
    }
    return false;
}

// A burst of device changes (a token brings several) is looked at once, no
// later than DEVICE_SETTLE_MS after its first message.
void TokensMayHaveChanged(HWND mainWindow)
{
    if (!watching || deviceLookDue)
        return;
    deviceLookDue = true;
    SetTimer(mainWindow, TOKEN_WATCH_TIMER, DEVICE_SETTLE_MS, nullptr);
}

void TokenCheckDone(HWND mainWindow, LPARAM parameter)
{
    CheckFindings *findings = TakeCheckFindings(parameter);
    if (!findings)
        return;
    // The check read every token: its findings stand for the kept ones.
    delete keptFindings;
    keptFindings = nullptr;
    Remind(mainWindow, findings, true);
}

void ReminderIconBack(HWND mainWindow)
{
    CheckFindings *findings = keptFindings;
    keptFindings = nullptr;
    if (findings)
        Remind(mainWindow, findings, false);
}
