#include "support/hosted_dialog.h"

static BOOL CALLBACK CloseThreadWindow(HWND window, LPARAM)
{
    PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

HostedDialog::HostedDialog(HINSTANCE instance, int resourceId, DLGPROC procedure)
{
    thread_ = std::thread([this, instance, resourceId, procedure] {
        threadId_ = GetCurrentThreadId();
        result_ = DialogBoxParamW(instance, MAKEINTRESOURCEW(resourceId), nullptr, procedure, 0);
        ended_ = true;
    });
}

HostedDialog::~HostedDialog()
{
    if (!WaitEnded(15000)) {
        // Left open by a failed test: close whatever this thread shows.
        EnumThreadWindows(threadId_, CloseThreadWindow, 0);
        WaitEnded(5000);
    }
    if (ended_)
        thread_.join();
    else
        thread_.detach();
}

bool HostedDialog::WaitEnded(int timeoutMs)
{
    for (int waited = 0; !ended_; waited += 20) {
        if (waited >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}
