// Finding and answering the boxes that the renewal units raise on their own
// threads.
#pragma once

#include <windows.h>

#include <string>

struct TopWindowSearch {
    const wchar_t *caption;
    HWND found;
};

static BOOL CALLBACK MatchTopWindow(HWND window, LPARAM parameter)
{
    TopWindowSearch *search = (TopWindowSearch *)parameter;
    wchar_t text[256], className[64];
    GetWindowTextW(window, text, 256);
    GetClassNameW(window, className, 64);
    if (IsWindowVisible(window) && wcscmp(text, search->caption) == 0 && wcscmp(className, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The first visible dialog of this process with the caption; null after the
// time-out.
inline HWND WaitForTopWindow(const wchar_t *caption, int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        TopWindowSearch search = {caption, nullptr};
        EnumWindows(MatchTopWindow, (LPARAM)&search);
        if (search.found)
            return search.found;
        Sleep(20);
    }
    return nullptr;
}

inline std::wstring BoxText(HWND box)
{
    wchar_t text[2048] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    return text;
}

inline void PressButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}
