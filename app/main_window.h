// The hidden main window: start-up picture, notification-area icon and menu,
// About box; and the program-wide values that the shell owns.
#pragma once

#include <windows.h>

extern wchar_t windowTitle[100];
extern wchar_t windowClassName[100];

UINT const WM_TRAY_CALLBACK = WM_USER + 1;
UINT const WM_SHOW_RENEWAL = WM_USER + 2;
UINT const WM_ACTIVATE_INSTANCE = WM_USER + 3;

ATOM RegisterMainWindowClass(HINSTANCE instance);
BOOL InitMainWindow(HINSTANCE instance);
