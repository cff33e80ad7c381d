// Kestrava's entry point: sockets, the single-instance hand-over, the main
// window and the message loop.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include "app/main_window.h"
#include "res/resource.h"
#include "token/token_library.h"

static const wchar_t *const TEXT_ERROR_CAPTION = L"Ошибка";
static const wchar_t *const TEXT_WSA_FAILED = L"Ошибка WSAStartup()";
static const wchar_t *const TEXT_CLASS_FAILED = L"Не удалось зарегистрировать класс окна";
static const wchar_t *const TEXT_NO_TOKEN_LIBRARY =
    L"Не найдена библиотека носителя jcPKCS11.dll. Установите программное обеспечение носителя и запустите "
    L"программу снова.";

// "/tray" or "-tray", in any case: the quiet start at logon.
static bool QuietStartAsked()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool quiet = false;
    for (int i = 1; arguments && i < count; ++i)
        quiet = quiet || lstrcmpiW(arguments[i], L"/tray") == 0 || lstrcmpiW(arguments[i], L"-tray") == 0;
    LocalFree(arguments);
    return quiet;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        MessageBoxW(nullptr, TEXT_WSA_FAILED, TEXT_ERROR_CAPTION, MB_OK | MB_ICONERROR);
        return 0;
    }

    LoadStringW(instance, IDS_APP_TITLE, windowTitle, 100);
    LoadStringW(instance, IDS_WINDOW_CLASS, windowClassName, 100);

    // A running copy is known by its main window, shown or hidden; this start
    // hands over to it and never touches the token library. A quiet start
    // only ends: the copy is there already.
    bool quietStart = QuietStartAsked();
    HWND runningCopy = FindWindowW(windowClassName, windowTitle);
    if (runningCopy && quietStart)
        return 0;
    if (runningCopy) {
        SetForegroundWindow(runningCopy);
        SendMessageW(runningCopy, WM_ACTIVATE_INSTANCE, 0, 0);
        return 0;
    }

    // Without the token's software there is nothing to do. At logon, for
    // every user of the machine, that is no reason to speak up.
    if (!LoadTokenLibrary()) {
        if (!quietStart)
            MessageBoxW(nullptr, TEXT_NO_TOKEN_LIBRARY, TEXT_ERROR_CAPTION, MB_OK | MB_ICONERROR);
        return 0;
    }

    if (!RegisterMainWindowClass(instance)) {
        MessageBoxW(nullptr, TEXT_CLASS_FAILED, TEXT_ERROR_CAPTION, MB_OK | MB_ICONERROR);
        return 0;
    }
    if (!InitMainWindow(instance, quietStart))
        return 0;

    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    // The main window's destruction has finalized the library already; this
    // call finds it finalized and is harmless.
    C_Finalize(nullptr);
    return 0;
}
