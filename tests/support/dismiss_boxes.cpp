#include "support/dismiss_boxes.h"

#include <windows.h>

#include <cwchar>

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

void DismissOwnBoxes()
{
    EnumWindows(DismissBox, 0);
}
