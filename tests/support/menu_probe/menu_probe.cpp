// Loaded by the system into the program under test through a WH_CALLWNDPROC
// hook: when the driver sends MENU_PROBE_MESSAGE to an open popup menu
// window, it reads that window's menu items and positions.
#include "menu_probe.h"

static void ReadMenu(HWND menuWindow, MenuProbeReport *report)
{
    HMENU menu = (HMENU)SendMessageW(menuWindow, MN_GETHMENU, 0, 0);
    int count = menu ? GetMenuItemCount(menu) : -1;
    if (count > 32)
        count = 32;
    report->count = count;
    for (int i = 0; i < count; ++i) {
        MenuProbeItem &item = report->items[i];
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_CHECKMARKS | MIIM_STRING;
        info.dwTypeData = item.text;
        info.cch = 128;
        if (!GetMenuItemInfoW(menu, i, TRUE, &info))
            continue;
        item.id = info.wID;
        item.type = info.fType;
        item.state = info.fState;
        item.hasSubmenu = info.hSubMenu != nullptr;
        item.hasImage = info.hbmpUnchecked != nullptr;
        GetMenuItemRect(menuWindow, menu, i, &item.rect);
    }
}

extern "C" __declspec(dllexport) LRESULT CALLBACK MenuProbeHook(int code, WPARAM wParam, LPARAM lParam)
{
    static UINT const probeMessage = RegisterWindowMessageW(MENU_PROBE_MESSAGE);
    const CWPSTRUCT *sent = (const CWPSTRUCT *)lParam;
    if (code == HC_ACTION && sent->message == probeMessage) {
        HANDLE memory = OpenFileMappingW(FILE_MAP_WRITE, FALSE, MENU_PROBE_MEMORY);
        MenuProbeReport *report =
            memory ? (MenuProbeReport *)MapViewOfFile(memory, FILE_MAP_WRITE, 0, 0, sizeof(MenuProbeReport)) : nullptr;
        if (report) {
            ZeroMemory(report, sizeof *report);
            ReadMenu(sent->hwnd, report);
            report->done = 1;
            UnmapViewOfFile(report);
        }
        if (memory)
            CloseHandle(memory);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
