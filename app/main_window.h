// The hidden main window: start-up picture, notification-area icon and menu,
// About box; and the program-wide values that the shell owns.
#pragma once

#include <windows.h>

extern wchar_t windowTitle[100];
extern wchar_t windowClassName[100];

UINT const WM_TRAY_CALLBACK = WM_USER + 1;
UINT const WM_SHOW_RENEWAL = WM_USER + 2;
UINT const WM_ACTIVATE_INSTANCE = WM_USER + 3;
// The notification-area icon's ID: its balloon goes to the same icon.
UINT const TRAY_ICON_ID = 1;

ATOM RegisterMainWindowClass(HINSTANCE instance);
// A quiet start (at logon) shows no start-up picture and opens no renewal
// dialog by itself: the program waits in the notification area and reminds
// its holder when a certificate is due.
BOOL InitMainWindow(HINSTANCE instance, bool quietStart = false);
