// Runs one of the program's modal dialogs on a thread of its own, as its
// caller would, so that the test thread can find, read and press it.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

class HostedDialog {
public:
    HostedDialog(HINSTANCE instance, int resourceId, DLGPROC procedure);
    // Waits (bounded) for the dialog to end; a dialog still open is closed.
    ~HostedDialog();
    // True once the dialog has ended within timeoutMs.
    bool WaitEnded(int timeoutMs = 15000);
    INT_PTR Result() const { return result_; }

private:
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::atomic<INT_PTR> result_{-2};
    std::atomic<DWORD> threadId_{0};
};
