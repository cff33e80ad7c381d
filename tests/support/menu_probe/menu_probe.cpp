// Loaded by the system into the program under test through a WH_CALLWNDPROC
// hook: when the driver sends MENU_PROBE_MESSAGE to an open popup menu
// window, it reads that window's menu items and positions; sent to a dialog,
// it measures the texts of the dialog's controls. Loaded into kestrava.exe
// before it adds its notification-area icon, it notes the icons it hands over.
#include "menu_probe.h"

#include <shellapi.h>

#include <cstring>

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

// Each visible control's text as the control draws it: on one line, in the
// font it was given.
static void ReadControls(HWND dialog, ControlProbeReport *report)
{
    for (HWND control = GetWindow(dialog, GW_CHILD); control && report->count < 48;
         control = GetWindow(control, GW_HWNDNEXT)) {
        if (!IsWindowVisible(control))
            continue;
        ControlProbeItem &item = report->items[report->count++];
        item.id = GetDlgCtrlID(control);
        GetClassNameW(control, item.className, 32);
        GetWindowTextW(control, item.text, 128);
        RECT client;
        GetClientRect(control, &client);
        item.client = {client.right, client.bottom};

        HDC dc = GetDC(control);
        HFONT font = (HFONT)SendMessageW(control, WM_GETFONT, 0, 0);
        HGDIOBJ previous = SelectObject(dc, font ? (HGDIOBJ)font : GetStockObject(SYSTEM_FONT));
        bool plain = lstrcmpiW(item.className, L"Edit") == 0 ||
                     (GetWindowLongW(control, GWL_STYLE) & SS_NOPREFIX && lstrcmpiW(item.className, L"Static") == 0);
        RECT extent = {};
        if (item.text[0])
            DrawTextW(dc, item.text, -1, &extent, DT_CALCRECT | DT_SINGLELINE | (plain ? DT_NOPREFIX : 0));
        item.textExtent = {extent.right, extent.bottom};
        TEXTMETRICW metrics = {};
        GetTextMetricsW(dc, &metrics);
        item.lineHeight = metrics.tmHeight;
        SelectObject(dc, previous);
        ReleaseDC(control, dc);
    }
}

template <typename Report>
static void Answer(const wchar_t *memoryName, HWND window, void (*read)(HWND, Report *))
{
    HANDLE memory = OpenFileMappingW(FILE_MAP_WRITE, FALSE, memoryName);
    Report *report = memory ? (Report *)MapViewOfFile(memory, FILE_MAP_WRITE, 0, 0, sizeof(Report)) : nullptr;
    if (report) {
        ZeroMemory(report, sizeof *report);
        read(window, report);
        report->done = 1;
        UnmapViewOfFile(report);
    }
    if (memory)
        CloseHandle(memory);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK MenuProbeHook(int code, WPARAM wParam, LPARAM lParam)
{
    static UINT const probeMessage = RegisterWindowMessageW(MENU_PROBE_MESSAGE);
    const CWPSTRUCT *sent = (const CWPSTRUCT *)lParam;
    if (code == HC_ACTION && sent->message == probeMessage) {
        if (sent->wParam == MENU_PROBE_READ_CONTROLS)
            Answer(CONTROL_PROBE_MEMORY, sent->hwnd, ReadControls);
        else
            Answer(MENU_PROBE_MEMORY, sent->hwnd, ReadMenu);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---- The icons handed to the notification area ----------------------------

typedef BOOL(WINAPI *NotifyIconFunction)(DWORD, PNOTIFYICONDATAW);
static NotifyIconFunction handOver = nullptr;

static SIZE IconSize(HICON icon)
{
    ICONINFO info = {};
    BITMAP colour = {};
    if (GetIconInfo(icon, &info)) {
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    return {colour.bmWidth, colour.bmHeight};
}

static BOOL WINAPI NoteTrayIcon(DWORD message, PNOTIFYICONDATAW data)
{
    if ((message == NIM_ADD || message == NIM_MODIFY) && (data->uFlags & NIF_ICON)) {
        HANDLE memory = OpenFileMappingW(FILE_MAP_WRITE, FALSE, TRAY_PROBE_MEMORY);
        TrayProbeReport *report =
            memory ? (TrayProbeReport *)MapViewOfFile(memory, FILE_MAP_WRITE, 0, 0, sizeof(TrayProbeReport)) : nullptr;
        if (report) {
            report->lastIcon = IconSize(data->hIcon);
            report->smallIconMetric = GetSystemMetrics(SM_CXSMICON);
            InterlockedIncrement(&report->icons);
            UnmapViewOfFile(report);
        }
        if (memory)
            CloseHandle(memory);
    }
    return handOver(message, data);
}

// Points the program's import of Shell_NotifyIconW at NoteTrayIcon.
static void WatchTrayIcons()
{
    BYTE *base = (BYTE *)GetModuleHandleW(nullptr);
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY &imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return;
    for (IMAGE_IMPORT_DESCRIPTOR *library = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
         library->Name; ++library) {
        if (lstrcmpiA((const char *)(base + library->Name), "shell32.dll") != 0 || !library->OriginalFirstThunk)
            continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + library->OriginalFirstThunk);
        IMAGE_THUNK_DATA *calls = (IMAGE_THUNK_DATA *)(base + library->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++calls) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *name = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)name->Name, "Shell_NotifyIconW") != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(&calls->u1.Function, sizeof calls->u1.Function, PAGE_READWRITE, &protection);
            handOver = (NotifyIconFunction)calls->u1.Function;
            calls->u1.Function = (ULONG_PTR)NoteTrayIcon;
            VirtualProtect(&calls->u1.Function, sizeof calls->u1.Function, protection, &protection);
        }
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t *name = wcsrchr(path, L'\\');
    if (lstrcmpiW(name ? name + 1 : path, L"kestrava.exe") == 0)
        WatchTrayIcons();
    return TRUE;
}
