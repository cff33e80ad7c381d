// kestrava.exe as its user meets it: the start-up picture, the single
// instance, the token library's start-up failures, the notification-area icon
// and its menu, the About box and "Выход".
#include <gtest/gtest.h>

#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"

#include <algorithm>
#include <cstdio>
#include <deque>

namespace {

const wchar_t *const MAIN_CLASS = L"ZR51_KESTRAVA";
const wchar_t *const MAIN_TITLE = L"Kestrava";
const wchar_t *const RENEWAL_CAPTION = L"Продление сертификата на JaCarta ГОСТ";
const wchar_t *const ABOUT_CAPTION = L"О проекте";

class ResidentProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        work = FreshWorkDir(std::string("shell-") + test->name());
        TokenStore store = UseFreshTokenStore(work);
        journal = store.journal;
        environment = {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}, {L"SOFTTOKEN_JOURNAL", WindowsPath(journal)}};
        ASSERT_EQ(0, Tool(L"init 0"));
    }

    void TearDown() override
    {
        for (RunningProgram &program : programs)
            KillProgram(program);
        // A killed program leaves no icon behind in the tray for the next test.
        for (int waited = 0; !TrayIcons().empty() && waited < 5000; waited += 100)
            Sleep(100);
    }

    int Tool(const std::wstring &arguments)
    {
        return RunProgram(L"softtoken.exe", arguments, environment);
    }

    RunningProgram &Start()
    {
        programs.push_back(StartProgram(L"kestrava.exe", environment));
        return programs.back();
    }

    std::string Journal()
    {
        std::string text;
        ReadFileBytes(journal, text);
        return text;
    }

    // Starts the program and waits until the start-up picture is gone and the
    // renewal dialog opened by itself.
    RunningProgram &StartResident()
    {
        RunningProgram &program = Start();
        HWND splash = WaitForWindow(MAIN_TITLE, MAIN_CLASS, 15000, program.processId);
        EXPECT_NE(nullptr, splash);
        EXPECT_TRUE(WaitForWindowGone(splash, 10000));
        EXPECT_NE(nullptr, WaitForWindow(RENEWAL_CAPTION, L"#32770", 10000, program.processId));
        return program;
    }

    // Opens the notification-area menu the way a user does: a right click on
    // the program's icon.
    HWND OpenTrayMenu(const RunningProgram &program)
    {
        std::vector<HWND> icons = TrayIcons();
        EXPECT_EQ(1u, icons.size());
        if (icons.empty())
            return nullptr;
        // Wine's tray window now and then drops a click that comes right
        // after another window appeared; a user would click again.
        for (int attempt = 1; attempt <= 3; ++attempt) {
            EXPECT_TRUE(ClickWindow(icons.front(), true));
            if (HWND menu = WaitForPopupMenu(program.processId, 3000))
                return menu;
            fprintf(stderr, "right click %d on the tray icon opened no menu\n", attempt);
        }
        return nullptr;
    }

    // Chooses a top-level item of the notification-area menu.
    void ChooseFromTrayMenu(const RunningProgram &program, int position)
    {
        HWND menu = OpenTrayMenu(program);
        ASSERT_NE(nullptr, menu);
        ASSERT_TRUE(ClickMenuItem(menu, position));
        EXPECT_TRUE(WaitForWindowGone(menu, 5000));
    }

    size_t OpenWindows(const RunningProgram &program, const wchar_t *caption)
    {
        std::vector<HWND> windows = TopLevelWindows(program.processId, L"#32770");
        return std::count_if(windows.begin(), windows.end(), [caption](HWND window) {
            return IsWindowVisible(window) && WindowText(window) == caption;
        });
    }

    std::string work;
    std::string journal;
    std::map<std::wstring, std::wstring> environment;
    std::deque<RunningProgram> programs;  // references to its items stay valid
};

TEST_F(ResidentProgram, ShowsTheStartUpPictureThenHidesItAndOpensTheRenewalDialog)
{
    RunningProgram &program = Start();
    HWND splash = WaitForWindow(MAIN_TITLE, MAIN_CLASS, 15000, program.processId);
    ASSERT_NE(nullptr, splash);
    RECT rect;
    GetWindowRect(splash, &rect);
    EXPECT_EQ(540, rect.right - rect.left);
    EXPECT_EQ(300, rect.bottom - rect.top);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - 540) / 2, rect.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - 400) / 2, rect.top);
    Sleep(500);  // let it paint
    EXPECT_TRUE(SaveScreenshot("shell-splash"));

    ASSERT_TRUE(WaitForWindowGone(splash, 10000));
    EXPECT_TRUE(IsWindow(splash)) << "the hidden main window stays as the program's anchor";
    HWND renewal = WaitForWindow(RENEWAL_CAPTION, L"#32770", 10000, program.processId);
    ASSERT_NE(nullptr, renewal);
    EXPECT_FALSE(IsWindowVisible(splash));
    EXPECT_EQ(1u, TrayIcons().size());
    EXPECT_EQ(std::string::npos, Journal().find("C_Finalize"));
}

TEST_F(ResidentProgram, SecondStartHandsOverToTheRunningCopyAndExitsWithZero)
{
    RunningProgram &first = StartResident();
    HWND renewal = WaitForWindow(RENEWAL_CAPTION, L"#32770", 1000, first.processId);
    ASSERT_NE(nullptr, renewal);
    ASSERT_TRUE(ClickButton(renewal, IDCANCEL));
    ASSERT_TRUE(WaitForWindowGone(renewal, 5000));

    // The second start gets a journal of its own: it must not touch the library.
    std::string secondJournal = work + "/second-journal.txt";
    std::map<std::wstring, std::wstring> secondEnvironment = environment;
    secondEnvironment[L"SOFTTOKEN_JOURNAL"] = WindowsPath(secondJournal);
    programs.push_back(StartProgram(L"kestrava.exe", secondEnvironment));
    RunningProgram &second = programs.back();
    EXPECT_EQ(0, WaitForExit(second, 15000));

    HWND reopened = WaitForWindow(RENEWAL_CAPTION, L"#32770", 5000, first.processId);
    ASSERT_NE(nullptr, reopened);
    EXPECT_EQ(1u, OpenWindows(first, RENEWAL_CAPTION));
    EXPECT_TRUE(TopLevelWindows(second.processId).empty());
    std::string text;
    EXPECT_FALSE(ReadFileBytes(secondJournal, text) && !text.empty()) << text;
    EXPECT_EQ(-1, WaitForExit(first, 0)) << "the running copy goes on";
}

TEST_F(ResidentProgram, SecondStartDuringTheStartUpPictureLeavesOneRenewalDialog)
{
    RunningProgram &first = Start();
    HWND splash = WaitForWindow(MAIN_TITLE, MAIN_CLASS, 15000, first.processId);
    ASSERT_NE(nullptr, splash);
    programs.push_back(StartProgram(L"kestrava.exe", environment));
    EXPECT_EQ(0, WaitForExit(programs.back(), 15000));

    ASSERT_TRUE(WaitForWindowGone(splash, 10000));
    ASSERT_NE(nullptr, WaitForWindow(RENEWAL_CAPTION, L"#32770", 5000, first.processId));
    Sleep(1500);  // the splash timer's own request has come by now
    EXPECT_EQ(1u, OpenWindows(first, RENEWAL_CAPTION));
}

TEST_F(ResidentProgram, AltF4OnTheStartUpPictureEndsTheProgramWithoutAQuestion)
{
    RunningProgram &program = Start();
    HWND splash = WaitForWindow(MAIN_TITLE, MAIN_CLASS, 15000, program.processId);
    ASSERT_NE(nullptr, splash);
    // What Alt+F4 on the focused picture makes of the key press.
    PostMessageW(splash, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(0, WaitForExit(program, 10000));
    EXPECT_TRUE(TrayIcons().empty());
    std::string calls = Journal();
    EXPECT_NE(std::string::npos, calls.find("C_Finalize rv=0x0")) << calls;
}

// A window registered here, in the test process, that looks half like the
// program's main window.
static HWND Decoy(const wchar_t *className, const wchar_t *title)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

TEST_F(ResidentProgram, WindowsWithOnlyTheClassOrOnlyTheTitleAreNotARunningCopy)
{
    HWND sameClass = Decoy(MAIN_CLASS, L"Другая программа");
    HWND sameTitle = Decoy(L"OTHER_CLASS", MAIN_TITLE);
    ASSERT_NE(nullptr, sameClass);
    ASSERT_NE(nullptr, sameTitle);

    RunningProgram &program = Start();
    EXPECT_NE(nullptr, WaitForWindow(MAIN_TITLE, MAIN_CLASS, 15000, program.processId));
    EXPECT_EQ(-1, WaitForExit(program, 0));

    DestroyWindow(sameClass);
    DestroyWindow(sameTitle);
    UnregisterClassW(MAIN_CLASS, GetModuleHandleW(nullptr));
    UnregisterClassW(L"OTHER_CLASS", GetModuleHandleW(nullptr));
}

TEST_F(ResidentProgram, FailedInitializationIsReportedOverTheStartUpPictureAndEndsTheProgram)
{
    ASSERT_EQ(0, Tool(L"fault library C_Initialize 0x6"));
    RunningProgram &program = Start();
    HWND box = WaitForWindow(L"C_Initialize", L"#32770", 15000, program.processId);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"CKR_FUNCTION_FAILED", MessageBoxText(box));
    HWND splash = WaitForWindow(MAIN_TITLE, MAIN_CLASS, 1000, program.processId);
    EXPECT_NE(nullptr, splash) << "the start-up picture stays behind the box";
    EXPECT_TRUE(TrayIcons().empty());
    EXPECT_TRUE(SaveScreenshot("shell-initialize-failed"));

    ASSERT_TRUE(ClickButton(box, IDOK));
    EXPECT_EQ(0, WaitForExit(program, 10000));
    EXPECT_TRUE(TrayIcons().empty());
    std::string calls = Journal();
    EXPECT_NE(std::string::npos, calls.find("C_Initialize rv=0x6")) << calls;
    EXPECT_EQ(std::string::npos, calls.find("C_Finalize")) << calls;
}

TEST_F(ResidentProgram, WithoutTheTokenLibraryANormalStartSaysSoAndAQuietStartEndsSilently)
{
    // The program alone in a folder, as on a machine without the token's
    // software.
    std::wstring alone = WindowsPath(work) + L"\\kestrava.exe";
    ASSERT_TRUE(CopyFileW((WindowsPath(TestEnv("KESTRAVA_BIN")) + L"\\kestrava.exe").c_str(), alone.c_str(), FALSE));
    EXPECT_EQ(0, RunProgram(alone, L"/tray", environment, 15000)) << "a quiet start ends by itself";

    programs.push_back(StartProgram(alone, environment));
    RunningProgram &program = programs.back();
    HWND box = WaitForWindow(L"Ошибка", L"#32770", 15000, program.processId);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"Не найдена библиотека носителя jcPKCS11.dll. Установите программное обеспечение носителя и "
              L"запустите программу снова.",
              MessageBoxText(box));
    EXPECT_EQ(nullptr, WaitForWindow(MAIN_TITLE, MAIN_CLASS, 0, program.processId)) << "no start-up picture";
    EXPECT_TRUE(SaveScreenshot("shell-no-token-library"));
    ASSERT_TRUE(ClickButton(box, IDOK));
    EXPECT_EQ(0, WaitForExit(program, 10000));
    EXPECT_TRUE(TrayIcons().empty());
    EXPECT_EQ("", Journal()) << "the token library was never reached";
}

TEST_F(ResidentProgram, FailedLibraryInformationShowsTheStatusInRussianOrByName)
{
    // A vendor status has no text of its own.
    ASSERT_EQ(0, Tool(L"fault library C_GetInfo 0x80000001"));
    RunningProgram &program = Start();
    HWND box = WaitForWindow(L"C_GetInfo", L"#32770", 15000, program.processId);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"Unknown function", MessageBoxText(box));
    ASSERT_TRUE(ClickButton(box, IDOK));
    EXPECT_EQ(0, WaitForExit(program, 10000));
    EXPECT_TRUE(TrayIcons().empty());

    // A PIN status goes through the Cyrillic code page to the box.
    ASSERT_EQ(0, Tool(L"fault library C_GetInfo 0xA4"));
    RunningProgram &again = Start();
    box = WaitForWindow(L"C_GetInfo", L"#32770", 15000, again.processId);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"PIN-код заблокирован", MessageBoxText(box));
    ASSERT_TRUE(ClickButton(box, IDOK));
    EXPECT_EQ(0, WaitForExit(again, 10000));
}

TEST_F(ResidentProgram, HardwareHashingFailureWarnsBeforeTheIconAndStartUpGoesOn)
{
    ASSERT_EQ(0, Tool(L"fault library useHardwareHash 0x5"));
    RunningProgram &program = Start();
    HWND box = WaitForWindow(L"Ошибка", L"#32770", 15000, program.processId);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"Не удается включить аппаратное хеширование.\n"
              L"Будет выполняться программное хэширование без обращения к устройству.",
              MessageBoxText(box));
    EXPECT_TRUE(TrayIcons().empty()) << "the icon comes after the warning";
    // The splash timer starts only after the warning, so the picture stays.
    Sleep(3500);
    EXPECT_NE(nullptr, WaitForWindow(MAIN_TITLE, MAIN_CLASS, 0, program.processId));

    ASSERT_TRUE(ClickButton(box, IDOK));
    EXPECT_NE(nullptr, WaitForWindow(RENEWAL_CAPTION, L"#32770", 10000, program.processId));
    EXPECT_EQ(1u, TrayIcons().size());
    EXPECT_NE(std::string::npos, Journal().find("useHardwareHash flag=0 rv=0x5"));
}

TEST_F(ResidentProgram, RightClickOnTheIconOpensTheMenuWithItsItemsInOrder)
{
    RunningProgram &program = StartResident();
    HWND renewal = WaitForWindow(RENEWAL_CAPTION, L"#32770", 1000, program.processId);
    ASSERT_TRUE(ClickButton(renewal, IDCANCEL));
    ASSERT_TRUE(WaitForWindowGone(renewal, 5000));

    // Left clicks do nothing.
    ASSERT_EQ(1u, TrayIcons().size());
    ClickWindow(TrayIcons().front(), false);
    EXPECT_EQ(nullptr, WaitForPopupMenu(program.processId, 1000));

    HWND menu = OpenTrayMenu(program);
    ASSERT_NE(nullptr, menu);
    std::vector<MenuItem> items = ReadMenu(menu);
    ASSERT_EQ(4u, items.size());
    EXPECT_EQ(L"Утилиты", items[0].text);
    EXPECT_TRUE(items[0].submenu);
    EXPECT_TRUE(items[1].separator);
    EXPECT_EQ(L"О программе", items[2].text);
    EXPECT_EQ(402u, items[2].id);
    EXPECT_TRUE(items[2].image);
    EXPECT_EQ(L"Выход", items[3].text);
    EXPECT_EQ(403u, items[3].id);
    EXPECT_FALSE(items[3].image);
    POINT cursor;
    GetCursorPos(&cursor);
    RECT menuRect;
    GetWindowRect(menu, &menuRect);
    EXPECT_EQ(cursor.x, menuRect.left) << "the menu opens at the cursor";
    EXPECT_EQ(cursor.y, menuRect.top);

    ASSERT_TRUE(ClickMenuItem(menu, 0));
    HWND utilities = WaitForPopupMenu(program.processId, 5000, menu);
    ASSERT_NE(nullptr, utilities);
    std::vector<MenuItem> tools = ReadMenu(utilities);
    ASSERT_EQ(2u, tools.size());
    EXPECT_EQ(L"Продление сертификата на JaCarta", tools[0].text);
    EXPECT_EQ(405u, tools[0].id);
    EXPECT_TRUE(tools[0].image);
    EXPECT_EQ(L"Записать сертификат из файла...", tools[1].text);
    EXPECT_EQ(406u, tools[1].id);
    EXPECT_FALSE(tools[1].image);
    EXPECT_TRUE(SaveScreenshot("shell-tray-menu"));

    ASSERT_TRUE(ClickMenuItem(utilities, 0));
    EXPECT_TRUE(WaitForWindowGone(menu, 5000));
    EXPECT_NE(nullptr, WaitForWindow(RENEWAL_CAPTION, L"#32770", 5000, program.processId));
}

TEST_F(ResidentProgram, AboutTwiceGivesOneBoxAndAfterClosingANewOne)
{
    RunningProgram &program = StartResident();
    ChooseFromTrayMenu(program, 2);
    HWND about = WaitForWindow(ABOUT_CAPTION, L"#32770", 5000, program.processId);
    ASSERT_NE(nullptr, about);
    std::vector<std::wstring> texts = ControlTexts(about);
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(L"Kestrava, версия " + Widen(KESTRAVA_VERSION), texts[0]) << "the version of the build";
    EXPECT_FALSE(texts[1].empty()) << "the publisher";
    EXPECT_EQ(L"ОК", texts[2]);
    Sleep(1500);
    EXPECT_TRUE(SaveScreenshot("shell-about"));

    ChooseFromTrayMenu(program, 2);
    Sleep(500);
    EXPECT_EQ(1u, OpenWindows(program, ABOUT_CAPTION));
    EXPECT_TRUE(IsWindowVisible(about));

    ASSERT_TRUE(ClickButton(about, IDOK));
    ASSERT_TRUE(WaitForWindowGone(about, 5000));
    ChooseFromTrayMenu(program, 2);
    HWND again = WaitForWindow(ABOUT_CAPTION, L"#32770", 5000, program.processId);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(1u, OpenWindows(program, ABOUT_CAPTION));
}

TEST_F(ResidentProgram, ExitAnsweredNoKeepsRunningAndYesEndsWithZero)
{
    RunningProgram &program = StartResident();
    ChooseFromTrayMenu(program, 3);
    HWND question = WaitForWindow(L"Внимание", L"#32770", 5000, program.processId);
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(L"Выйти из программы?", MessageBoxText(question));
    ASSERT_TRUE(ClickButton(question, IDNO));
    ASSERT_TRUE(WaitForWindowGone(question, 5000));
    EXPECT_EQ(-1, WaitForExit(program, 1000));
    EXPECT_EQ(1u, TrayIcons().size());
    EXPECT_EQ(std::string::npos, Journal().find("C_Finalize"));

    ChooseFromTrayMenu(program, 3);
    question = WaitForWindow(L"Внимание", L"#32770", 5000, program.processId);
    ASSERT_NE(nullptr, question);
    ASSERT_TRUE(ClickButton(question, IDYES));
    EXPECT_EQ(0, WaitForExit(program, 10000));
    EXPECT_TRUE(TrayIcons().empty());
    std::string calls = Journal();
    EXPECT_NE(std::string::npos, calls.find("C_Finalize rv=0x0")) << calls;
}

}  // namespace
