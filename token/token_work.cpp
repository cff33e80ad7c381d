#include "token/token_work.h"

#include <windows.h>

// Workers that are inside the token library now.
static volatile LONG tokenWorkers = 0;

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
