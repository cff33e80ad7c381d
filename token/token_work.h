// Keeps "Выход" from finalizing the token library while a search or renewal
// worker is inside it: workers mark their time in the library, and the exit
// command refuses while any is marked.
//
// Call TokenWorkBegin on the user-interface thread before the worker thread
// is created (the progress dialog's WM_INITDIALOG), so that no menu command
// can slip in between, and TokenWorkEnd once the worker has made its last
// library call (from any thread). Every Begin needs exactly one End.
#pragma once

void TokenWorkBegin();
void TokenWorkEnd();
bool TokenWorkRunning();
