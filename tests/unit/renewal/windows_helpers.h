// Waiting for renewal work that runs on another thread and may raise boxes.
#pragma once

#include <windows.h>

#include <chrono>
#include <future>

static BOOL CALLBACK DismissBox(HWND window, LPARAM)
{
    wchar_t className[64];
    GetClassNameW(window, className, 64);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId() && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0)
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}

// Waits for the work, answering any box it raises, so that a failed check
// never leaves a test waiting on a box nobody closes. Returns whether the
// work ended in time.
template <typename Future> bool FinishDismissingBoxes(Future &work, int timeoutMs = 60000)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (work.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready)
            return true;
        EnumWindows(DismissBox, 0);
        Sleep(50);
    }
    return false;
}
