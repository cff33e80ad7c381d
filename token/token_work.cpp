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

bool RefuseSecondTokenWork(HWND owner)
{
    if (!TokenWorkRunning())
        return false;
    MessageBoxW(owner, busyText, busyCaption, MB_OK | MB_ICONWARNING);
    return true;
}
