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

bool RefuseSecondTokenWork(HWND owner)
{
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
