#include "support/window_driver.h"

#include "support/unix_command.h"

#include <commctrl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cwctype>

namespace {

// Every poll of the driver sleeps this long between looks.
int const POLL_MS = 50;

// Cross-process sends must never hang a test when the program is stuck.
UINT const SEND_TIMEOUT_MS = 5000;

std::wstring Upper(std::wstring text)
{
    for (wchar_t &c : text)
        c = (wchar_t)std::towupper(c);
    return text;
}

// This process's environment with the extra variables put over it, as a
// sorted Unicode environment block for CreateProcessW.
std::wstring EnvironmentBlock(const std::map<std::wstring, std::wstring> &extra)
{
    // Windows compares variable names without case.
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> variables;
    wchar_t *strings = GetEnvironmentStringsW();
    for (const wchar_t *entry = strings; *entry; entry += wcslen(entry) + 1) {
        std::wstring text = entry;
        size_t equals = text.find(L'=', 1);  // names like "=C:" start with '='
        if (equals == std::wstring::npos)
            continue;
        std::wstring name = text.substr(0, equals);
        variables[Upper(name)] = {name, text.substr(equals + 1)};
    }
    FreeEnvironmentStringsW(strings);
    for (const auto &variable : extra)
        variables[Upper(variable.first)] = {variable.first, variable.second};

    std::wstring block;
    for (const auto &variable : variables)
        block += variable.second.first + L"=" + variable.second.second + L'\0';
    block += L'\0';
    return block;
}

struct WindowSearch {
    const wchar_t *caption;
    const wchar_t *className;
    DWORD processId;
    bool visibleOnly;
    std::vector<HWND> found;
};

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    WindowSearch &search = *(WindowSearch *)parameter;
    if (search.visibleOnly && !IsWindowVisible(window))
        return TRUE;
    if (search.processId) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search.processId)
            return TRUE;
    }
    if (search.className && ClassOf(window) != search.className)
        return TRUE;
    if (search.caption && WindowText(window) != search.caption)
        return TRUE;
    search.found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindWindows(const wchar_t *caption, const wchar_t *className, DWORD processId, bool visibleOnly)
{
    WindowSearch search = {caption, className, processId, visibleOnly, {}};
    EnumWindows(CollectWindow, (LPARAM)&search);
    return search.found;
}

bool EncoderClsid(const wchar_t *mimeType, CLSID *clsid)
{
    UINT count = 0, size = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    Gdiplus::ImageCodecInfo *codecs = (Gdiplus::ImageCodecInfo *)buffer.data();
    if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok)
        return false;
    for (UINT i = 0; i < count; ++i) {
        if (wcscmp(codecs[i].MimeType, mimeType) == 0) {
            *clsid = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

void StartGdiplusOnce()
{
    static ULONG_PTR token = 0;
    if (!token) {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
}

}  // namespace

RunningProgram StartProgram(const std::wstring &exeName,
                            const std::map<std::wstring, std::wstring> &environment,
                            const std::wstring &arguments)
{
    RunningProgram program;
    std::wstring folder = WindowsPath(TestEnv("KESTRAVA_BIN"));
    std::wstring path = folder + L"\\" + exeName;
    if (exeName.find(L'\\') != std::wstring::npos) {
        path = exeName;
        folder = exeName.substr(0, exeName.rfind(L'\\'));
    }
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    std::wstring block = EnvironmentBlock(environment);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        &block[0], folder.c_str(), &startup, &info))
        return program;
    CloseHandle(info.hThread);
    program.process = info.hProcess;
    program.processId = info.dwProcessId;
    return program;
}

int RunProgram(const std::wstring &exeName, const std::wstring &arguments,
               const std::map<std::wstring, std::wstring> &environment, int timeoutMs)
{
    RunningProgram program = StartProgram(exeName, environment, arguments);
    int code = WaitForExit(program, timeoutMs);
    KillProgram(program);
    return code;
}

int WaitForExit(RunningProgram &program, int timeoutMs)
{
    if (!program.process)
        return -1;
    if (WaitForSingleObject(program.process, timeoutMs) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    if (!GetExitCodeProcess(program.process, &code))
        return -1;
    return (int)code;
}

void KillProgram(RunningProgram &program)
{
    if (!program.process)
        return;
    if (WaitForSingleObject(program.process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(program.process, 1);
        WaitForSingleObject(program.process, 10000);
    }
    CloseHandle(program.process);
    program.process = nullptr;
    program.processId = 0;
}

HWND WaitForWindow(const wchar_t *caption, const wchar_t *className, int timeoutMs, DWORD processId)
{
    for (int waited = 0;; waited += POLL_MS) {
        std::vector<HWND> found = FindWindows(caption, className, processId, true);
        if (!found.empty())
            return found.front();
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(POLL_MS);
    }
}

std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t *className)
{
    return FindWindows(nullptr, className, processId, false);
}

bool WaitForWindowGone(HWND window, int timeoutMs)
{
    for (int waited = 0;; waited += POLL_MS) {
        if (!IsWindow(window) || !IsWindowVisible(window))
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
}

std::wstring WindowText(HWND window)
{
    // WM_GETTEXT is carried across processes, unlike GetWindowTextW, which
    // only sees a foreign control's creation text.
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &length))
        return L"";
    std::vector<wchar_t> text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), (LPARAM)text.data(), SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &copied))
        return L"";
    return std::wstring(text.data(), std::min<size_t>(copied, length));
}

std::wstring ControlText(HWND dialog, int controlId)
{
    HWND control = GetDlgItem(dialog, controlId);
    return control ? WindowText(control) : L"";
}

std::vector<std::wstring> ControlTexts(HWND dialog)
{
    std::vector<std::wstring> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        texts.push_back(WindowText(child));
    return texts;
}

std::wstring MessageBoxText(HWND box)
{
    return ControlText(box, 0xFFFF);
}

bool ReadMadeBox(HWND box, std::wstring &caption, std::wstring &text)
{
    caption = WindowText(box);
    text = caption.empty() ? L"" : MessageBoxText(box);
    return !text.empty();
}

bool ClickButton(HWND dialog, int controlId)
{
    // Posted, so that a box or dialog that the click closes, or a modal loop
    // that it starts, never blocks the test.
    HWND button = GetDlgItem(dialog, controlId);
    if (button && !IsWindowEnabled(button))
        return false;
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), (LPARAM)button) != 0;
}

bool SetControlText(HWND dialog, int controlId, const wchar_t *text)
{
    HWND control = GetDlgItem(dialog, controlId);
    DWORD_PTR result = 0;
    return control && SendMessageTimeoutW(control, WM_SETTEXT, 0, (LPARAM)text, SMTO_ABORTIFHUNG,
                                          SEND_TIMEOUT_MS, &result) && result;
}

bool ChooseFileInDialog(HWND dialog, const std::wstring &path)
{
    // The file name box of the explorer-style dialog (cmb13), or of the old one (edt1).
    return (SetControlText(dialog, 0x47c, path.c_str()) || SetControlText(dialog, 0x480, path.c_str())) &&
           ClickButton(dialog, IDOK);
}

bool SaveScreenshot(const std::string &name)
{
    std::string folder = TestEnv("KESTRAVA_SCREENSHOTS");
    if (folder.empty())
        return false;
    CreateDirectoryW(WindowsPath(folder).c_str(), nullptr);
    StartGdiplusOnce();

    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP picture = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, picture);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    bool saved = false;
    CLSID png;
    if (copied && EncoderClsid(L"image/png", &png)) {
        Gdiplus::Bitmap image(picture, nullptr);
        std::wstring path = WindowsPath(folder + "/" + name + ".png");
        saved = image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    DeleteObject(picture);
    return saved;
}

std::vector<HWND> TrayIcons()
{
    std::vector<HWND> icons;
    for (HWND tray : FindWindows(nullptr, L"__winex11_standalone_tray", 0, true)) {
        for (HWND child = GetWindow(tray, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (IsWindowVisible(child) && ClassOf(child) == L"__winex11_tray_icon")
                icons.push_back(child);
        }
    }
    return icons;
}

// The text of the tooltip's first tool. Another process's tooltip reads and
// writes the structure and the text where it lives, so both are put there.
static bool ReadBalloon(HWND tip, std::wstring &text)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(tip, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (!process)
        return false;
    const SIZE_T room = 1024;
    std::vector<wchar_t> buffer(room, 0);
    BYTE *remote = (BYTE *)VirtualAllocEx(process, nullptr, sizeof(TTTOOLINFOW) + room * sizeof(wchar_t),
                                          MEM_COMMIT, PAGE_READWRITE);
    bool read = false;
    if (remote) {
        wchar_t *remoteText = (wchar_t *)(remote + sizeof(TTTOOLINFOW));
        TTTOOLINFOW tool = {};
        tool.cbSize = sizeof tool;
        tool.lpszText = remoteText;
        DWORD_PTR found = 0;
        if (WriteProcessMemory(process, remoteText, buffer.data(), room * sizeof(wchar_t), nullptr) &&
            WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr) &&
            SendMessageTimeoutW(tip, TTM_ENUMTOOLSW, 0, (LPARAM)remote, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &found) &&
            found && ReadProcessMemory(process, remote, &tool, sizeof tool, nullptr)) {
            tool.lpszText = remoteText;
            DWORD_PTR ignored = 0;
            read = WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr) &&
                   SendMessageTimeoutW(tip, TTM_GETTEXTW, room, (LPARAM)remote, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                                       &ignored) &&
                   ReadProcessMemory(process, remoteText, buffer.data(), room * sizeof(wchar_t), nullptr);
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    buffer[room - 1] = 0;
    text = buffer.data();
    return read;
}

std::vector<std::wstring> BalloonTexts()
{
    std::vector<std::wstring> texts;
    for (HWND tip : FindWindows(nullptr, TOOLTIPS_CLASSW, 0, true)) {
        std::wstring text;
        if ((GetWindowLongW(tip, GWL_STYLE) & TTS_BALLOON) && ReadBalloon(tip, text))
            texts.push_back(text);
    }
    return texts;
}

static bool ClickAt(POINT point, bool rightButton)
{
    if (!SetCursorPos(point.x, point.y))
        return false;
    Sleep(POLL_MS);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = rightButton ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
    return SendInput(2, input, sizeof(INPUT)) == 2;
}

bool ClickWindow(HWND window, bool rightButton)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    return ClickAt({(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}, rightButton);
}

HWND WaitForPopupMenu(DWORD processId, int timeoutMs, HWND other)
{
    for (int waited = 0;; waited += POLL_MS) {
        for (HWND menu : FindWindows(nullptr, L"#32768", processId, true)) {
            if (menu != other)
                return menu;
        }
        if (waited >= timeoutMs)
            return nullptr;
        Sleep(POLL_MS);
    }
}

static HMODULE Probe()
{
    static HMODULE probe = LoadLibraryW((WindowsPath(TestEnv("KESTRAVA_BIN")) + L"\\menu_probe.dll").c_str());
    return probe;
}

static HOOKPROC ProbeHook()
{
    return Probe() ? (HOOKPROC)(void *)GetProcAddress(Probe(), MENU_PROBE_HOOK) : nullptr;
}

// Has menu_probe.dll, loaded by the system into the window's thread for this
// one message, write its report on the window into the named memory.
template <typename Report>
static bool AskProbe(HWND window, WPARAM what, const wchar_t *memoryName, Report *answer)
{
    static UINT const probeMessage = RegisterWindowMessageW(MENU_PROBE_MESSAGE);
    HANDLE memory = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Report), memoryName);
    Report *report = memory ? (Report *)MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Report)) : nullptr;
    HOOKPROC hook = ProbeHook();
    bool answered = false;
    if (hook && report) {
        ZeroMemory(report, sizeof *report);
        HHOOK installed = SetWindowsHookExW(WH_CALLWNDPROC, hook, Probe(), GetWindowThreadProcessId(window, nullptr));
        DWORD_PTR ignored = 0;
        if (installed) {
            SendMessageTimeoutW(window, probeMessage, what, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &ignored);
            UnhookWindowsHookEx(installed);
        }
        answered = report->done != 0;
        if (answered)
            *answer = *report;
    }
    if (report)
        UnmapViewOfFile(report);
    if (memory)
        CloseHandle(memory);
    return answered;
}

std::vector<MenuItem> ReadMenu(HWND menuWindow)
{
    std::vector<MenuItem> items;
    static MenuProbeReport report;
    if (!AskProbe(menuWindow, MENU_PROBE_READ_MENU, MENU_PROBE_MEMORY, &report))
        return items;
    for (int i = 0; i < report.count; ++i) {
        const MenuProbeItem &probed = report.items[i];
        MenuItem item;
        item.text = probed.text;
        item.id = probed.id;
        item.separator = (probed.type & MFT_SEPARATOR) != 0;
        item.submenu = probed.hasSubmenu != FALSE;
        item.enabled = (probed.state & MFS_DISABLED) == 0;
        item.image = probed.hasImage != FALSE;
        item.rect = probed.rect;
        items.push_back(item);
    }
    return items;
}

std::vector<ControlProbeItem> MeasureControls(HWND dialog)
{
    static ControlProbeReport report;
    if (!AskProbe(dialog, MENU_PROBE_READ_CONTROLS, CONTROL_PROBE_MEMORY, &report))
        return {};
    return std::vector<ControlProbeItem>(report.items, report.items + report.count);
}

TrayIconWatch::TrayIconWatch()
{
    memory = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(TrayProbeReport),
                                TRAY_PROBE_MEMORY);
    report = memory ? (TrayProbeReport *)MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TrayProbeReport))
                    : nullptr;
    if (report) {
        ZeroMemory(report, sizeof *report);
        HOOKPROC probe = ProbeHook();
        hook = probe ? SetWindowsHookExW(WH_CALLWNDPROC, probe, Probe(), 0) : nullptr;
    }
}

TrayIconWatch::~TrayIconWatch()
{
    if (hook)
        UnhookWindowsHookEx(hook);
    if (report)
        UnmapViewOfFile(report);
    if (memory)
        CloseHandle(memory);
}

bool TrayIconWatch::Watching() const
{
    return hook != nullptr;
}

TrayProbeReport TrayIconWatch::Seen() const
{
    TrayProbeReport seen = {};
    if (report)
        seen = *report;
    return seen;
}

bool ClickMenuItem(HWND menuWindow, int position)
{
    std::vector<MenuItem> items = ReadMenu(menuWindow);
    if (position < 0 || position >= (int)items.size())
        return false;
    const RECT &rect = items[position].rect;
    return ClickAt({(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}, false);
}
