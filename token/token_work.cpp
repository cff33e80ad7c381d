#include "token/token_work.h"

// Workers that are inside the token library now.
static volatile LONG tokenWorkers = 0;

static const wchar_t busyCaption[] = L"Внимание";
static const wchar_t busyText[] =
    L"Программа сейчас работает с ключевым носителем.\n"
    L"Дождитесь окончания операции и повторите команду.";

void TokenWorkBegin()
{
    InterlockedIncrement(&tokenWorkers);
}

void TokenWorkEnd()
{
    InterlockedDecrement(&tokenWorkers);
}

bool TokenWorkRunning()
{
    return InterlockedCompareExchange(&tokenWorkers, 0, 0) > 0;
}

void StartTokenWorker(HWND dialog, LPTHREAD_START_ROUTINE worker, LPVOID parameter)
{
    // Marked before the worker exists, so that no "Выход" and no other token
    // work can slip in between.
    TokenWorkBegin();
    HANDLE thread = CreateThread(nullptr, 0, worker, parameter, 0, nullptr);
    if (thread == nullptr) {
        TokenWorkEnd();
        EndDialog(dialog, 0);
    } else {
        CloseHandle(thread);
    }
}

// The background check: running, asked to stop, and the commands that wait
// for it (no check starts while one waits).
static volatile LONG checkRunning = 0;
static volatile LONG checkStopping = 0;
static volatile LONG commandsWaiting = 0;
// Set for good once the program ends (the main window's destruction, the end
// of the Windows session): no check starts after it, and no command that
// waited for a check goes on.
static volatile LONG checksEnded = 0;
// Kept until the next check starts, so that StopTokenCheck can wait for it.
static HANDLE checkThread = nullptr;
// How often a waiting command looks whether the check is over.
static const DWORD checkPollMs = 50;

bool StartTokenCheck(LPTHREAD_START_ROUTINE check, LPVOID parameter)
{
    if (TokenWorkRunning() || TokenCheckRunning() || InterlockedCompareExchange(&commandsWaiting, 0, 0) > 0 ||
        InterlockedCompareExchange(&checksEnded, 0, 0) != 0)
        return false;
    if (checkThread)
        CloseHandle(checkThread);
    InterlockedExchange(&checkStopping, 0);
    InterlockedExchange(&checkRunning, 1);
    checkThread = CreateThread(nullptr, 0, check, parameter, 0, nullptr);
    if (checkThread == nullptr)
        InterlockedExchange(&checkRunning, 0);
    return checkThread != nullptr;
}

void TokenCheckEnd()
{
    InterlockedExchange(&checkRunning, 0);
}

bool TokenCheckStopping()
{
    return InterlockedCompareExchange(&checkStopping, 0, 0) != 0;
}

bool TokenCheckRunning()
{
    return InterlockedCompareExchange(&checkRunning, 0, 0) != 0;
}

void StopTokenCheck()
{
    InterlockedExchange(&checksEnded, 1);
    if (!checkThread)
        return;
    InterlockedExchange(&checkStopping, 1);
    // The check ends after the library call it is in; it waits for no window.
    WaitForSingleObject(checkThread, INFINITE);
    CloseHandle(checkThread);
    checkThread = nullptr;
}

// Serves the thread's messages until the check is over, with owner disabled
// as under a modal dialog so that the same command cannot come twice. False
// when the program ends meanwhile (the quit message is put back for the
// loop that ends it) or owner is gone.
static bool WaitForTokenCheck(HWND owner)
{
    if (!TokenCheckRunning())
        return true;
    InterlockedIncrement(&commandsWaiting);
    bool disabled = owner && IsWindowEnabled(owner);
    if (disabled)
        EnableWindow(owner, FALSE);
    bool ending = false;
    while (TokenCheckRunning() && !ending) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, checkPollMs, QS_ALLINPUT);
        MSG msg;
        while (!ending && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage((int)msg.wParam);
                ending = true;
            } else {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
    if (disabled && IsWindow(owner))
        EnableWindow(owner, TRUE);
    InterlockedDecrement(&commandsWaiting);
    bool programEnds = InterlockedCompareExchange(&checksEnded, 0, 0) != 0;
    return !ending && !programEnds && (!owner || IsWindow(owner));
}

bool RefuseSecondTokenWork(HWND owner)
{
    if (!WaitForTokenCheck(owner))
        return true;
    if (!TokenWorkRunning())
        return false;
    MessageBoxW(owner, busyText, busyCaption, MB_OK | MB_ICONWARNING);
    return true;
}

struct WorkerWindowSearch {
    DWORD process, userInterfaceThread;
    bool found;
};

static BOOL CALLBACK FindWorkerWindow(HWND window, LPARAM parameter)
{
    WorkerWindowSearch *search = (WorkerWindowSearch *)parameter;
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(window, &process);
    if (process == search->process && thread != search->userInterfaceThread && IsWindowVisible(window)) {
        search->found = true;
        return FALSE;
    }
    return TRUE;
}

bool TokenWorkHoldsShutdown()
{
    if (!TokenWorkRunning())
        return false;
    WorkerWindowSearch search = {GetCurrentProcessId(), GetCurrentThreadId(), false};
    EnumWindows(FindWorkerWindow, (LPARAM)&search);
    return !search.found;
}
