// What menu_probe.dll reports from inside the program under test: an open
// popup menu, a dialog's control texts measured in their own fonts, and the
// icons the program hands to the notification area. The dll runs inside
// that program (Wine cannot read another process's menus, fonts or icons);
// its reports travel through named shared memory blocks.
#pragma once

#include <windows.h>

#define MENU_PROBE_MESSAGE L"Kestrava.MenuProbe"
#define MENU_PROBE_MEMORY L"Local\\Kestrava.MenuProbe"
#define MENU_PROBE_HOOK "MenuProbeHook"

// wParam of MENU_PROBE_MESSAGE: what to read of the window it is sent to.
#define MENU_PROBE_READ_MENU 0
#define MENU_PROBE_READ_CONTROLS 1

struct MenuProbeItem {
    UINT id;
    UINT type;   // MFT_ flags
    UINT state;  // MFS_ flags
    BOOL hasSubmenu;
    BOOL hasImage;
    RECT rect;  // on the screen
    wchar_t text[128];
};

struct MenuProbeReport {
    LONG done;
    int count;  // -1: the window had no menu
    MenuProbeItem items[32];
};

#define CONTROL_PROBE_MEMORY L"Local\\Kestrava.ControlProbe"

struct ControlProbeItem {
    int id;
    wchar_t className[32];
    wchar_t text[128];
    SIZE client;      // the control's client area
    SIZE textExtent;  // its text on one line, in its font
    int lineHeight;   // one line of its font
};

struct ControlProbeReport {
    LONG done;
    int count;
    ControlProbeItem items[48];
};

// Loaded into kestrava.exe through a hook on every thread, the dll points the
// program's import of Shell_NotifyIconW at itself and notes every icon given.
#define TRAY_PROBE_MEMORY L"Local\\Kestrava.TrayProbe"

struct TrayProbeReport {
    LONG icons;           // how many icons were handed over
    SIZE lastIcon;        // the size of the last
    int smallIconMetric;  // SM_CXSMICON in the program then
};
