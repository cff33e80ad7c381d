// "Выход", Alt+F4 and Windows ending the session never finalize the token
// library under a worker that is inside it; the background check gives way
// to the user's commands and to the end of the program. No worker of the real program can be held inside the library at
// will, so the shell runs here, in the test process, on a thread of its own,
// and the test marks the token work itself.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "res/resource.h"
#include "support/window_driver.h"
#include "token/token_work.h"

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <thread>

namespace {

const wchar_t *const REFUSAL =
    L"Программа сейчас работает с ключевым носителем.\n"
    L"Дождитесь окончания операции, затем выйдите из программы.";

const wchar_t *const BLOCK_REASON = L"Идёт продление сертификата. Не выключайте компьютер до его окончания.";

// The shutdown block reason of the window ("none" when it has none), read
// through ShutdownBlockReasonQuery, which Wine 8's user32 does not have
// (it keeps no reasons at all); empty when it cannot be read.
std::wstring BlockReason(HWND window)
{
    typedef BOOL(WINAPI * ReasonQuery)(HWND, LPWSTR, DWORD *);
    ReasonQuery query = (ReasonQuery)(void *)GetProcAddress(GetModuleHandleW(L"user32.dll"), "ShutdownBlockReasonQuery");
    if (!query)
        return L"";
    wchar_t reason[256] = L"";
    DWORD length = 256;
    if (!query(window, reason, &length))
        return L"none";
    return reason;
}

// What the window answers when Windows asks to end the session.
LRESULT QueryEndSession(HWND window)
{
    DWORD_PTR answer = 99;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
    return (LRESULT)answer;
}

void RunShell()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    LoadStringW(instance, IDS_APP_TITLE, windowTitle, 100);
    LoadStringW(instance, IDS_WINDOW_CLASS, windowClassName, 100);
    if (!RegisterMainWindowClass(instance) || !InitMainWindow(instance))
        return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// A background check that holds the token until the test lets it go or it
// is asked to stop.
std::atomic<bool> letCheckGo{false};
std::atomic<bool> checkSawStop{false};
std::atomic<bool> checkOver{false};
// What the library answered the check's last call: the library is finalized
// with the main window, and only once the check is over.
std::atomic<CK_RV> lastCallAnswer{CKR_GENERAL_ERROR};

// Every flag HeldCheck sets or reads, as before a check starts.
void ResetHeldCheck()
{
    letCheckGo = false;
    checkSawStop = false;
    checkOver = false;
    lastCallAnswer = CKR_GENERAL_ERROR;
}

DWORD WINAPI HeldCheck(LPVOID)
{
    while (!letCheckGo && !TokenCheckStopping())
        Sleep(20);
    checkSawStop = TokenCheckStopping();
    // As a library call under way when the stop comes.
    Sleep(500);
    CK_INFO info;
    lastCallAnswer = C_GetInfo(&info);
    checkOver = true;
    TokenCheckEnd();
    return 0;
}

// A box's text once the box is made (empty after the time-out).
std::wstring MadeBoxText(HWND box)
{
    std::wstring caption, text;
    for (int waited = 0; !ReadMadeBox(box, caption, text) && waited < 5000; waited += 50)
        Sleep(50);
    return text;
}

// Answers the box that a request to end the program raised.
void Answer(const wchar_t *text, int button)
{
    HWND box = WaitForWindow(L"Внимание", L"#32770", 10000, GetCurrentProcessId());
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(text, MadeBoxText(box));
    ASSERT_TRUE(ClickButton(box, button));
    EXPECT_TRUE(WaitForWindowGone(box, 5000));
}

TEST(ExitGuard, EndingIsRefusedWhileAWorkerIsInTheTokenLibrary)
{
    // Detached: a failed check must not leave a joinable thread behind.
    std::thread(RunShell).detach();
    HWND mainWindow = WaitForWindow(L"Kestrava", L"ZR51_KESTRAVA", 10000, GetCurrentProcessId());
    ASSERT_NE(nullptr, mainWindow);

    // "Выход" during token work: refused at once, no question.
    TokenWorkBegin();
    PostMessageW(mainWindow, WM_COMMAND, ID_EXIT, 0);
    Answer(REFUSAL, IDOK);
    EXPECT_TRUE(IsWindow(mainWindow));

    // Alt+F4 on the start-up picture during token work.
    PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    Answer(REFUSAL, IDOK);
    EXPECT_TRUE(IsWindow(mainWindow));
    TokenWorkEnd();

    // Token work that starts while the question is open.
    PostMessageW(mainWindow, WM_COMMAND, ID_EXIT, 0);
    HWND question = WaitForWindow(L"Внимание", L"#32770", 10000, GetCurrentProcessId());
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(L"Выйти из программы?", MadeBoxText(question));
    TokenWorkBegin();
    ASSERT_TRUE(ClickButton(question, IDYES));
    // The refusal comes in a box of the same caption once the question is gone.
    ASSERT_TRUE(WaitForWindowGone(question, 5000));
    Answer(REFUSAL, IDOK);
    EXPECT_TRUE(IsWindow(mainWindow));

    // Windows ending the session: refused with a reason during the work,
    // allowed again once the work is over.
    EXPECT_EQ(FALSE, QueryEndSession(mainWindow));
    bool reasonsReadable = !BlockReason(mainWindow).empty();
    if (reasonsReadable) {
        EXPECT_EQ(BLOCK_REASON, BlockReason(mainWindow));
    }
    TokenWorkEnd();
    Sleep(1000);
    if (reasonsReadable) {
        EXPECT_EQ(L"none", BlockReason(mainWindow));
    }
    EXPECT_EQ(TRUE, QueryEndSession(mainWindow));

    // "Выбрать" during a check waits for it, with no refusal and the dialog
    // alive; the search opens once the check is over.
    DWORD self = GetCurrentProcessId();
    HWND renewal = WaitForWindow(L"Продление сертификата на JaCarta ГОСТ", L"#32770", 10000, self);
    ASSERT_NE(nullptr, renewal);
    ResetHeldCheck();
    ASSERT_TRUE(StartTokenCheck(HeldCheck, nullptr));
    ASSERT_TRUE(ClickButton(renewal, IDC_CHOOSE));
    EXPECT_EQ(nullptr, WaitForWindow(L"Внимание", L"#32770", 1500, self));
    EXPECT_EQ(nullptr, WaitForWindow(L"Поиск сертификатов", L"#32770", 100, self));
    EXPECT_EQ(nullptr, WaitForWindow(L"Сертификаты не найдены", L"#32770", 0, self)) << "searched during the check";
    DWORD_PTR answer = 0;
    EXPECT_TRUE(SendMessageTimeoutW(renewal, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)) << "frozen";
    letCheckGo = true;
    EXPECT_NE(nullptr, WaitForWindow(L"Поиск сертификатов", L"#32770", 5000, self));
    HWND notFound = WaitForWindow(L"Сертификаты не найдены", L"#32770", 10000, self);
    ASSERT_NE(nullptr, notFound);
    ASSERT_TRUE(ClickButton(notFound, IDOK));
    EXPECT_TRUE(WaitForWindowGone(notFound, 5000));

    // "Выход" during a check is asked as always; the check stops, and the
    // library is finalized with the window only once it has.
    EXPECT_FALSE(TokenWorkRunning());
    ResetHeldCheck();
    ASSERT_TRUE(StartTokenCheck(HeldCheck, nullptr));
    PostMessageW(mainWindow, WM_COMMAND, ID_EXIT, 0);
    Answer(L"Выйти из программы?", IDYES);
    // The main window is hidden by now; wait for its destruction.
    for (int waited = 0; IsWindow(mainWindow) && waited < 10000; waited += 50)
        Sleep(50);
    EXPECT_FALSE(IsWindow(mainWindow));
    EXPECT_TRUE(checkSawStop);
    EXPECT_TRUE(checkOver);
    EXPECT_EQ(CKR_OK, lastCallAnswer) << "the library was finalized under the check";
    // The program has ended: no check starts any more.
    EXPECT_FALSE(StartTokenCheck(HeldCheck, nullptr));
}

}  // namespace
