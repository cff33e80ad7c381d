// The hidden main window: first the start-up picture, then the owner of the
// notification-area icon, its menu and the modeless dialogs. Its destruction
// ends the program.
#include "app/main_window.h"

#include <shellapi.h>
#include <objidl.h>
#include <gdiplus.h>

#include "app/reminder.h"
#include "renewal/certificate_writing.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "token/token_library.h"
#include "token/token_status.h"
#include "token/token_work.h"
#include "ui/program_icon.h"
#include "ui/renewal_dialog.h"

HINSTANCE appInstance = nullptr;
wchar_t windowTitle[100];
wchar_t windowClassName[100];

static HMENU utilitiesMenu = nullptr;
static HMENU trayMenu = nullptr;
static NOTIFYICONDATAW trayIconData;
static HWND aboutDialog = nullptr;

static_assert(sizeof(NOTIFYICONDATAW) == 956, "the notification-area icon needs the full structure");

// The picture's size at 100 %; the window has it at the screen's scale.
static int const SPLASH_WIDTH = 540;
static int const SPLASH_HEIGHT = 300;
// The picture stands 50 pixels (at 100 %) above the vertical centre of the
// screen.
static int const SPLASH_CENTRE_HEIGHT = 400;
static int const SPLASH_SHOWN_MS = 2500;
static int const SPLASH_GONE_MS = 500;
// Posted after the menu closes so that it closes properly when the user
// clicks elsewhere; it has no handler.
static UINT const WM_AFTER_TRAY_MENU = 0x0004;

static const wchar_t *const TEXT_ERROR_CAPTION = L"Ошибка";
static const wchar_t *const TEXT_WARNING_CAPTION = L"Внимание";
static const wchar_t *const TEXT_NO_HARDWARE_HASH =
    L"Не удается включить аппаратное хеширование.\n"
    L"Будет выполняться программное хэширование без обращения к устройству.";
static const wchar_t *const TEXT_MENU_UTILITIES = L"Утилиты";
static const wchar_t *const TEXT_MENU_RENEW = L"Продление сертификата на JaCarta";
static const wchar_t *const TEXT_MENU_WRITE_CERTIFICATE = L"Записать сертификат из файла...";
static const wchar_t *const TEXT_MENU_ABOUT = L"О программе";
static const wchar_t *const TEXT_MENU_EXIT = L"Выход";
static const wchar_t *const TEXT_EXIT_QUESTION = L"Выйти из программы?";
static const wchar_t *const TEXT_EXIT_WHILE_TOKEN_WORK =
    L"Программа сейчас работает с ключевым носителем.\n"
    L"Дождитесь окончания операции, затем выйдите из программы.";
static const wchar_t *const TEXT_SHUTDOWN_BLOCK_REASON =
    L"Идёт продление сертификата. Не выключайте компьютер до его окончания.";
// While Windows is told to wait, this timer looks for the end of the token
// work to take the reason back.
static UINT_PTR const SHUTDOWN_BLOCK_TIMER = 1;
static UINT const SHUTDOWN_BLOCK_CHECK_MS = 250;
// While the notification area refuses the icon (at logon it may not be ready
// yet), it is offered again this often (the reminder's timers are 2 to 5).
static UINT_PTR const TRAY_ICON_RETRY_TIMER = 6;
static UINT const TRAY_ICON_RETRY_MS = 10 * 1000;
// Broadcast by the shell when its notification area is made anew (Explorer
// starts or restarts): the icons it had are gone.
static UINT taskbarCreatedMessage = 0;

static LRESULT CALLBACK MainWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
static DWORD WINAPI SplashTimerThread(LPVOID parameter);
static INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);
static void ShowRenewalDialog(HWND mainWindow);
static bool MakeMenuImage(HBITMAP *image);
static void BuildTrayMenu();
static void AddTrayIcon(HWND mainWindow);
static void OfferTrayIcon(HWND mainWindow);
static void ShowTrayMenu(HWND mainWindow);
static void ExitOnRequest(HWND mainWindow);
static void PaintSplash(HWND mainWindow);
static int ScreenDpi();

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW wcex = {};
    wcex.cbSize = sizeof wcex;
    wcex.style = CS_HREDRAW | CS_VREDRAW;
    wcex.lpfnWndProc = MainWindowProc;
    wcex.hInstance = instance;
    wcex.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KESTRAVA));
    wcex.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // No background brush: WM_PAINT covers the whole client area.
    wcex.hbrBackground = nullptr;
    wcex.lpszClassName = windowClassName;
    wcex.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KESTRAVA));
    return RegisterClassExW(&wcex);
}

BOOL InitMainWindow(HINSTANCE instance, bool quietStart)
{
    appInstance = instance;

    int dpi = ScreenDpi();
    int width = MulDiv(SPLASH_WIDTH, dpi, USER_DEFAULT_SCREEN_DPI);
    int height = MulDiv(SPLASH_HEIGHT, dpi, USER_DEFAULT_SCREEN_DPI);
    int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - MulDiv(SPLASH_CENTRE_HEIGHT, dpi, USER_DEFAULT_SCREEN_DPI)) / 2;
    HWND mainWindow = CreateWindowExW(0, windowClassName, windowTitle,
                                      WS_POPUP | WS_BORDER | WS_SYSMENU | (quietStart ? 0 : WS_VISIBLE),
                                      left, top, width, height,
                                      nullptr, nullptr, instance, nullptr);
    if (!mainWindow)
        return FALSE;
    // The picture is on screen before the token library is touched.
    if (!quietStart) {
        ShowWindow(mainWindow, SW_SHOWNORMAL);
        UpdateWindow(mainWindow);
    }

    CK_RV rv = C_Initialize(nullptr);
    if (rv != CKR_OK) {
        ShowTokenError("C_Initialize", rv, nullptr);
        return FALSE;
    }
    CK_INFO LibInfo;
    rv = C_GetInfo(&LibInfo);
    if (rv != CKR_OK) {
        ShowTokenError("C_GetInfo", rv, nullptr);
        return FALSE;
    }
    if (useHardwareHash(0) != CKR_OK)
        MessageBoxW(nullptr, TEXT_NO_HARDWARE_HASH, TEXT_ERROR_CAPTION, MB_OK | MB_ICONWARNING);

    BuildTrayMenu();
    AddTrayIcon(mainWindow);
    StartReminder(mainWindow, quietStart);

    // The splash time counts from here, after any warning was dismissed.
    HANDLE splashTimer = quietStart ? nullptr : CreateThread(nullptr, 0, SplashTimerThread, mainWindow, 0, nullptr);
    if (splashTimer)
        CloseHandle(splashTimer);

    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR gdiplusToken = 0;
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);

    // The menus keep using the image for the life of the process.
    HBITMAP hBmp = nullptr;
    if (MakeMenuImage(&hBmp)) {
        SetMenuItemBitmaps(trayMenu, 2, MF_BYPOSITION, hBmp, hBmp);
        SetMenuItemBitmaps(utilitiesMenu, 0, MF_BYPOSITION, hBmp, hBmp);
    }
    return TRUE;
}

static void BuildTrayMenu()
{
    utilitiesMenu = CreatePopupMenu();
    AppendMenuW(utilitiesMenu, MF_STRING, ID_RENEW, TEXT_MENU_RENEW);
    AppendMenuW(utilitiesMenu, MF_STRING, ID_WRITE_CERTIFICATE, TEXT_MENU_WRITE_CERTIFICATE);

    trayMenu = CreatePopupMenu();
    AppendMenuW(trayMenu, MF_POPUP, (UINT_PTR)utilitiesMenu, TEXT_MENU_UTILITIES);
    AppendMenuW(trayMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(trayMenu, MF_STRING, ID_ABOUT, TEXT_MENU_ABOUT);
    AppendMenuW(trayMenu, MF_STRING, ID_EXIT, TEXT_MENU_EXIT);
}

static void AddTrayIcon(HWND mainWindow)
{
    ZeroMemory(&trayIconData, sizeof trayIconData);
    trayIconData.cbSize = sizeof trayIconData;
    trayIconData.hWnd = mainWindow;
    trayIconData.uID = TRAY_ICON_ID;
    trayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    trayIconData.uCallbackMessage = WM_TRAY_CALLBACK;
    trayIconData.hIcon = ProgramIcon(ICON_SMALL);
    lstrcpynW(trayIconData.szTip, windowTitle, 100);
    taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    OfferTrayIcon(mainWindow);
}

// Adds the icon, the same tooltip and menu as before; an icon the shell
// still has is only brought up to date. Without it the program would run on
// with no menu and no balloons: it is offered again until the shell takes it.
static void OfferTrayIcon(HWND mainWindow)
{
    if (Shell_NotifyIconW(NIM_ADD, &trayIconData) || Shell_NotifyIconW(NIM_MODIFY, &trayIconData)) {
        KillTimer(mainWindow, TRAY_ICON_RETRY_TIMER);
        ReminderIconBack(mainWindow);
    } else {
        SetTimer(mainWindow, TRAY_ICON_RETRY_TIMER, TRAY_ICON_RETRY_MS, nullptr);
    }
}

// Shows an error box for a failed step of MakeMenuImage.
static bool MenuImageFailed(const wchar_t *step)
{
    MessageBoxW(nullptr, step, TEXT_ERROR_CAPTION, MB_OK | MB_ICONERROR);
    return false;
}

// The menu image grown smoothly to the menus' check-mark size where the
// screen's scale makes that larger than the image; null where it stays as
// drawn, as at 100 %.
static Gdiplus::Bitmap *ScaleMenuImage(Gdiplus::Bitmap *drawn)
{
    int size = GetSystemMetrics(SM_CXMENUCHECK);
    if (size <= (int)drawn->GetWidth())
        return nullptr;
    Gdiplus::Bitmap *scaled = new Gdiplus::Bitmap(size, size, PixelFormat32bppARGB);
    Gdiplus::Status drawnOk;
    {
        // The Graphics draws on scaled: it must be gone before scaled may be
        // deleted.
        Gdiplus::Graphics graphics(scaled);
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
        graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
        // Without mirrored edges the filter would blend transparency into the border.
        Gdiplus::ImageAttributes edges;
        edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
        drawnOk = graphics.DrawImage(drawn, Gdiplus::Rect(0, 0, size, size), 0, 0, drawn->GetWidth(),
                                     drawn->GetHeight(), Gdiplus::UnitPixel, &edges);
    }
    if (drawnOk != Gdiplus::Ok || scaled->GetLastStatus() != Gdiplus::Ok) {
        delete scaled;
        return nullptr;
    }
    return scaled;
}

// Turns PNG resource 138 into a bitmap for the menus; its transparent parts
// become opaque black.
static bool MakeMenuImage(HBITMAP *image)
{
    HRSRC resource = FindResourceW(appInstance, MAKEINTRESOURCEW(IDR_MENU_PNG), L"PNG");
    if (!resource)
        return MenuImageFailed(L"FindResource");
    DWORD size = SizeofResource(appInstance, resource);
    if (size == 0)
        return MenuImageFailed(L"SizeofResource");
    HGLOBAL loaded = LoadResource(appInstance, resource);
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return MenuImageFailed(L"LockResource");

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block)
        return MenuImageFailed(L"GlobalAlloc");
    void *copy = GlobalLock(block);
    if (!copy) {
        GlobalFree(block);
        return MenuImageFailed(L"GlobalAlloc");
    }
    CopyMemory(copy, bytes, size);
    GlobalUnlock(block);

    IStream *stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, FALSE, &stream))) {
        GlobalFree(block);
        return MenuImageFailed(L"CreateStreamOnHGlobal");
    }
    Gdiplus::Bitmap *bitmap = Gdiplus::Bitmap::FromStream(stream, FALSE);
    if (!bitmap) {
        stream->Release();
        GlobalFree(block);
        return MenuImageFailed(L"Ошибка FromStream");
    }
    if (bitmap->GetLastStatus() != Gdiplus::Ok) {
        delete bitmap;
        stream->Release();
        GlobalFree(block);
        return MenuImageFailed(L"GetLastStatus != Ok");
    }
    Gdiplus::Bitmap *scaled = ScaleMenuImage(bitmap);
    (scaled ? scaled : bitmap)->GetHBITMAP(Gdiplus::Color(255, 0, 0, 0), image);
    delete scaled;
    delete bitmap;
    stream->Release();
    GlobalFree(block);
    return true;
}

static DWORD WINAPI SplashTimerThread(LPVOID parameter)
{
    HWND mainWindow = (HWND)parameter;
    Sleep(SPLASH_SHOWN_MS);
    ShowWindow(mainWindow, SW_HIDE);
    Sleep(SPLASH_GONE_MS);
    SendMessageW(mainWindow, WM_SHOW_RENEWAL, 0, 0);
    return 0;
}

// Opens the renewal dialog; the dialog itself keeps to one open copy and
// brings that one forward instead.
static void ShowRenewalDialog(HWND mainWindow)
{
    CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_RENEWAL), mainWindow, RenewalDialogProc, 0);
}

static void ShowTrayMenu(HWND mainWindow)
{
    POINT cursor;
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close on a click elsewhere.
    SetForegroundWindow(mainWindow);
    TrackPopupMenu(trayMenu, TPM_HORPOSANIMATION | TPM_HORNEGANIMATION | TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON,
                   cursor.x, cursor.y, 0, mainWindow, nullptr);
    PostMessageW(mainWindow, WM_AFTER_TRAY_MENU, 0, 0);
}

// Destroying the main window finalizes the token library, which must never
// happen under a search or renewal worker that is inside it.
static bool RefuseWhileTokenWork(HWND mainWindow)
{
    if (!TokenWorkRunning())
        return false;
    MessageBoxW(mainWindow, TEXT_EXIT_WHILE_TOKEN_WORK, TEXT_WARNING_CAPTION, MB_OK | MB_ICONWARNING);
    return true;
}

static void ExitOnRequest(HWND mainWindow)
{
    if (RefuseWhileTokenWork(mainWindow))
        return;
    if (MessageBoxW(mainWindow, TEXT_EXIT_QUESTION, TEXT_WARNING_CAPTION, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    // A worker may have started while the question was open.
    if (RefuseWhileTokenWork(mainWindow))
        return;
    DestroyWindow(mainWindow);
}

// Windows asks before it logs off or shuts down: a worker at work in the
// token library or with the server would be cut off mid-renewal, so the
// answer is no while one is, with the reason Windows shows to the user
// meanwhile. A worker that only waits for its user does not hold Windows.
static BOOL AnswerQueryEndSession(HWND mainWindow)
{
    if (!TokenWorkHoldsShutdown())
        return TRUE;
    ShutdownBlockReasonCreate(mainWindow, TEXT_SHUTDOWN_BLOCK_REASON);
    SetTimer(mainWindow, SHUTDOWN_BLOCK_TIMER, SHUTDOWN_BLOCK_CHECK_MS, nullptr);
    return FALSE;
}

static void TakeBackShutdownBlockWhenDone(HWND mainWindow)
{
    if (TokenWorkHoldsShutdown())
        return;
    KillTimer(mainWindow, SHUTDOWN_BLOCK_TIMER);
    ShutdownBlockReasonDestroy(mainWindow);
}

// The scale of the screens, in dots per inch (96 is 100 %). Per-monitor
// aware, the program still gets the system's scale here: that of the
// primary screen, where the picture stands.
static int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

// The picture fills the window, which has its size at the screen's scale; as
// with the picture at 100 %, the border hides its last column and row. Other
// scales draw the double-size picture smoothly at the window's size: scaled
// down, it stays sharp between 100 % and 200 %.
static void PaintSplash(HWND mainWindow)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(mainWindow, &paint);
    RECT client, frame;
    GetClientRect(mainWindow, &client);
    GetWindowRect(mainWindow, &frame);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    bool asDrawn = width == SPLASH_WIDTH && height == SPLASH_HEIGHT;
    HBITMAP picture = LoadBitmapW(appInstance, MAKEINTRESOURCEW(asDrawn ? IDB_SPLASH : IDB_SPLASH_2X));
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(memory, picture);
    if (asDrawn) {
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    } else {
        BITMAP drawn = {};
        GetObjectW(picture, sizeof drawn, &drawn);
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, 0, 0, width, height, memory, 0, 0, drawn.bmWidth, drawn.bmHeight, SRCCOPY);
    }
    SelectObject(memory, previous);
    DeleteObject(picture);
    DeleteDC(memory);
    EndPaint(mainWindow, &paint);
}

static LRESULT CALLBACK MainWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_TRAY_CALLBACK: {
        if (lParam == WM_RBUTTONUP)
            ShowTrayMenu(window);
        else if (lParam == NIN_BALLOONUSERCLICK)
            ReminderClicked(window);
        return 0;
    }
    case WM_SHOW_RENEWAL: {
        ShowRenewalDialog(window);
        return 0;
    }
    case WM_ACTIVATE_INSTANCE: {
        BringWindowToTop(window);
        SetForegroundWindow(window);
        ShowRenewalDialog(window);
        return 0;
    }
    case WM_COMMAND: {
        switch (LOWORD(wParam)) {
        case ID_RENEW:
            ShowRenewalDialog(window);
            return 0;
        case ID_WRITE_CERTIFICATE:
            WriteCertificateFromFile(window);
            return 0;
        case ID_ABOUT:
            if (aboutDialog)
                SetForegroundWindow(aboutDialog);
            else
                CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutDialogProc, 0);
            return 0;
        case ID_EXIT:
            ExitOnRequest(window);
            return 0;
        }
        return DefWindowProcW(window, msg, wParam, lParam);
    }
    case WM_CLOSE: {
        // Alt+F4 on the start-up picture ends the program without a question,
        // but never under a worker that is inside the token library.
        if (RefuseWhileTokenWork(window))
            return 0;
        return DefWindowProcW(window, msg, wParam, lParam);
    }
    case WM_QUERYENDSESSION: {
        return AnswerQueryEndSession(window);
    }
    case WM_ENDSESSION: {
        // The session ends with the process: a background check is not cut
        // off inside a library call.
        if (wParam)
            StopTokenCheck();
        return 0;
    }
    case WM_TIMER: {
        if (wParam == SHUTDOWN_BLOCK_TIMER)
            TakeBackShutdownBlockWhenDone(window);
        else if (wParam == TRAY_ICON_RETRY_TIMER)
            OfferTrayIcon(window);
        else
            ReminderTimer(window, wParam);
        return 0;
    }
    case WM_DEVICECHANGE: {
        TokensMayHaveChanged(window);
        return TRUE;
    }
    case WM_TOKEN_CHECK_DONE: {
        TokenCheckDone(window, lParam);
        return 0;
    }
    case WM_PAINT: {
        PaintSplash(window);
        return 0;
    }
    case WM_DESTROY: {
        KillTimer(window, TRAY_ICON_RETRY_TIMER);
        Shell_NotifyIconW(NIM_DELETE, &trayIconData);
        // A background check stops before its next call; the library is
        // finalized only once it has.
        StopTokenCheck();
        C_Finalize(nullptr);
        PostQuitMessage(0);
        return 0;
    }
    }
    // Not a constant: the number is the shell's, registered at start.
    if (msg == taskbarCreatedMessage && taskbarCreatedMessage != 0 && trayIconData.hWnd == window) {
        OfferTrayIcon(window);
        return 0;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

// Dialog-box function for the About box.
static INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: {
        aboutDialog = dialog;
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)ProgramIcon(ICON_BIG));
        return TRUE;
    }
    case WM_COMMAND: {
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            // Modeless: closing it means destroying it.
            DestroyWindow(dialog);
            aboutDialog = nullptr;
            return TRUE;
        }
        return FALSE;
    }
    }
    return FALSE;
}
