// What menu_probe.dll reports about an open popup menu of the program under
// test. The dll runs inside that program (Wine cannot read another process's
// menus); the report travels through a named shared memory block.
#pragma once

#include <windows.h>

#define MENU_PROBE_MESSAGE L"Kestrava.MenuProbe"
#define MENU_PROBE_MEMORY L"Local\\Kestrava.MenuProbe"
#define MENU_PROBE_HOOK "MenuProbeHook"

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
