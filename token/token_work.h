// Keeps "Выход" from finalizing the token library while a search, renewal or
// writing worker is inside it, and keeps those and the background check from
// running side by side:
// workers mark their time in the library, and the exit command and the
// commands that start a worker refuse while any is marked.
//
// Call TokenWorkBegin on the user-interface thread before the worker thread
// is created (the progress dialog's WM_INITDIALOG), so that no menu command
// can slip in between, and TokenWorkEnd once the worker has made its last
// library call (from any thread). Every Begin needs exactly one End.
#pragma once

#include <windows.h>

void TokenWorkBegin();
void TokenWorkEnd();
bool TokenWorkRunning();

// For a progress dialog's WM_INITDIALOG: marks the token work, then starts
// worker(parameter) on a thread of its own. When no thread can be made the
// mark is taken back and the dialog ends with 0. The worker calls
// TokenWorkEnd after its last library call and ends the dialog itself.
void StartTokenWorker(HWND dialog, LPTHREAD_START_ROUTINE worker, LPVOID parameter);

// For a command that would start a worker: waits for a background check to
// end first; then, when a worker runs, tells the user so in a box owned by
// owner and returns true (the command is refused). Also true, with no box,
// when the program ends or owner goes while the command waits.
bool RefuseSecondTokenWork(HWND owner);

// The background check of the tokens is token work that gives way: it starts
// only while no other token work runs or waits for it, a command that would
// start a worker waits for it to end (RefuseSecondTokenWork: the messages go
// on meanwhile), and ending the program stops it before its next library
// call instead of being refused.
//
// On the user-interface thread: starts check(parameter) on a thread of its
// own; false, with nothing started, when it may not start now. The check
// calls TokenCheckEnd after its last library call and asks
// TokenCheckStopping before each call. It shows no window and sends no
// message (StopTokenCheck waits for it without serving messages).
bool StartTokenCheck(LPTHREAD_START_ROUTINE check, LPVOID parameter);
void TokenCheckEnd();
bool TokenCheckStopping();
bool TokenCheckRunning();
// When the program ends, before the library is finalized or the Windows
// session ends: asks a running check to stop and waits until its thread has
// ended. No check starts afterwards, and a command waiting for the check is
// refused (RefuseSecondTokenWork).
void StopTokenCheck();

// Whether a worker is really at work now, so that ending the Windows session
// would cut it off: marked, and not waiting for its user in a window of its
// own (the PIN dialog, a message box). Asked on the user-interface thread:
// every window of another thread is a worker's, as only workers show
// windows away from it.
bool TokenWorkHoldsShutdown();
