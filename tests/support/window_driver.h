// Driving the program under test through its windows: start it, find its
// dialogs and message boxes by caption, read texts, press buttons, take
// screenshots. Every wait has a time-out.
#pragma once

#include <windows.h>

#include "support/menu_probe/menu_probe.h"

#include <map>
#include <string>
#include <vector>

// A started kestrava.exe (or any Windows program of the build).
struct RunningProgram {
    HANDLE process = nullptr;
    DWORD processId = 0;
};

// Starts exeName from KESTRAVA_BIN (or from where a full path says) with the
// extra environment variables (added to this process's environment, e.g.
// SOFTTOKEN_DIR, SOFTTOKEN_JOURNAL).
RunningProgram StartProgram(const std::wstring &exeName,
                            const std::map<std::wstring, std::wstring> &environment = {},
                            const std::wstring &arguments = L"");
// Starts a program as StartProgram does and waits for it; its exit code, or
// -1 when it could not start or did not end in time.
int RunProgram(const std::wstring &exeName, const std::wstring &arguments,
               const std::map<std::wstring, std::wstring> &environment = {}, int timeoutMs = 60000);
// Waits for the process to end; returns its exit code, or -1 on time-out.
int WaitForExit(RunningProgram &program, int timeoutMs = 15000);
// Ends the process if it still runs and releases its handle.
void KillProgram(RunningProgram &program);

// The first visible top-level window with this exact caption and class
// (class null: any), optionally of one process; null after the time-out.
HWND WaitForWindow(const wchar_t *caption, const wchar_t *className = L"#32770",
                   int timeoutMs = 10000, DWORD processId = 0);
// All top-level windows (visible or not) of a process with this class.
std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t *className = nullptr);
// Waits until the window is destroyed or hidden.
bool WaitForWindowGone(HWND window, int timeoutMs = 10000);

std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int controlId);
// The texts of a dialog's controls in their order (for controls without an id).
std::vector<std::wstring> ControlTexts(HWND dialog);
// The text of a message box (its static control 0xFFFF).
std::wstring MessageBoxText(HWND box);
// Reads a message box's caption and text. False while the box is still being
// made (or already gone) and has no caption or text yet: read it again later.
bool ReadMadeBox(HWND box, std::wstring &caption, std::wstring &text);

// Presses a button of a dialog or message box (IDOK, IDYES, IDNO, a control id)
// without waiting for the program to handle it. False when the button is
// disabled (a user could not press it) or the press could not be posted.
bool ClickButton(HWND dialog, int controlId);
// Puts text into an edit control; false when that failed.
bool SetControlText(HWND dialog, int controlId, const wchar_t *text);

// Types a full path into the file name box of an open-file dialog and
// presses its "Open"; false when the dialog has no such box.
bool ChooseFileInDialog(HWND dialog, const std::wstring &path);

// Saves the whole screen as KESTRAVA_SCREENSHOTS/<name>.png.
bool SaveScreenshot(const std::string &name);

// ---- The notification area and popup menus -------------------------------

// The icons in the notification area now. Wine on a display without a tray
// shows each in a small window of its own inside its "Wine System Tray"
// window; inside a Wine desktop (explorer /desktop=...) the taskbar draws
// them itself and this finds none.
std::vector<HWND> TrayIcons();
// The texts of the balloons of the notification area shown now: tooltip
// windows with TTS_BALLOON of whichever process shows them (explorer), read
// through memory given in that process.
std::vector<std::wstring> BalloonTexts();
// Clicks the middle of a window with the mouse, as a user does: the cursor
// moves there and the button goes down and up.
bool ClickWindow(HWND window, bool rightButton = false);

// A visible popup menu window (class "#32768") of the process, other than
// `other` (to find a submenu that opens beside its parent); null after the
// time-out.
HWND WaitForPopupMenu(DWORD processId, int timeoutMs = 10000, HWND other = nullptr);

struct MenuItem {
    std::wstring text;
    UINT id = 0;
    bool separator = false;
    bool submenu = false;
    bool enabled = false;
    bool image = false;  // has its own check-mark bitmap
    RECT rect = {};      // on the screen
};
// The items of an open popup menu window, in order (empty when unreadable).
std::vector<MenuItem> ReadMenu(HWND menuWindow);
// Clicks an item of an open popup menu with the mouse; false when there is
// no such item.
bool ClickMenuItem(HWND menuWindow, int position);

// ---- Measured inside the program -----------------------------------------

// The visible controls of a dialog of the program under test in their
// order, their texts measured with their own fonts by menu_probe.dll (empty
// when unreadable).
std::vector<ControlProbeItem> MeasureControls(HWND dialog);

// Notes, while it lives, the icons that the kestrava.exe started meanwhile
// hands to the notification area: menu_probe.dll goes into every program
// of the display through a hook on all threads.
class TrayIconWatch {
public:
    TrayIconWatch();
    ~TrayIconWatch();
    bool Watching() const;
    TrayProbeReport Seen() const;

private:
    HHOOK hook = nullptr;
    HANDLE memory = nullptr;
    TrayProbeReport *report = nullptr;
};
