// A quiet start at logon as its holder meets it: no window, then a balloon
// of the notification-area icon when a token with a due certificate is
// attached, the renewal dialog ready at its click, and once a day only; no
// balloon that would lead to a second payment or nag for ever, and the icon
// back when the shell makes its notification area anew.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>

#include "program/whole/kestrava_fixture.h"
#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

using Reminder = KestravaFixture;

namespace {

const wchar_t remindersKey[] = L"Software\\Kestrava\\Reminders";
const wchar_t holderName[] = L"ООО \"Ромашка\"";
const wchar_t unfinishedText[] =
    L"На носителе «JaCarta GOST» есть новая ключевая пара без сертификата.\n"
    L"Если удостоверяющий центр выпустил сертификат, запишите его командой "
    L"«Записать сертификат из файла» в меню программы.";
// The icon's callback message and the shell's report of a balloon click.
UINT const trayCallback = WM_USER + 1;
UINT const balloonClick = WM_USER + 5;
// The check's report to the main window, which another process can post.
UINT const checkDone = WM_USER + 20;

bool Shown(const std::wstring &text)
{
    std::vector<std::wstring> texts = BalloonTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Waits for a balloon with the text; a balloon with never meanwhile fails.
bool WaitForBalloon(const std::wstring &text, int timeoutMs, const std::wstring &never = L"")
{
    for (int waited = 0; waited < timeoutMs; waited += 200) {
        EXPECT_FALSE(!never.empty() && Shown(never)) << "a balloon that should not come";
        if (Shown(text))
            return true;
        Sleep(200);
    }
    return false;
}

// Waits for the quiet check to have closed its sessions, then for its
// findings to be handled: whatever balloon it brings is up by then.
bool WaitForCheckOver(const std::string &journal, size_t closesBefore)
{
    for (int waited = 0; JournalCalls(journal, "C_CloseAllSessions").size() <= closesBefore; waited += 500) {
        if (waited >= 60000)
            return false;
        Sleep(500);
    }
    Sleep(3000);
    return true;
}

// The identifier of a renewal started daysAgo days (and an hour) ago, in the
// program's local time (UTC+3), as hex.
std::string RenewalIdHex(int daysAgo, const std::string &inn)
{
    ULONGLONG hour = 36000000000ULL, ticks;
    GetSystemTimeAsFileTime((FILETIME *)&ticks);
    ticks += 2 * hour - daysAgo * 24 * hour;
    SYSTEMTIME local;
    FileTimeToSystemTime((FILETIME *)&ticks, &local);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d-", local.wYear, local.wMonth, local.wDay, local.wHour,
             local.wMinute, local.wSecond);
    return ToHexText(stamp + inn);
}

}  // namespace

TEST_F(Reminder, AQuietStartRemindsOfADueCertificateOnceADayAndLeadsToItsRenewal)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    LocalMoment end = MonthsFromNow(1, 15, 12);
    MakeHolderToken(0, "4b45", Utc(end));
    Tool({"present", "0", "no"});
    std::map<std::wstring, std::wstring> environment = {
        {L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
        {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)},
    };

    program = StartProgram(L"kestrava.exe", environment, L"/tray");
    ASSERT_TRUE(program.process);
    EXPECT_EQ(nullptr, WaitForWindow(L"Kestrava", L"ZR51_KESTRAVA", 5000, program.processId)) << "a start-up picture";
    EXPECT_TRUE(RenewalDialogs().empty());
    // A second quiet start only ends; the running copy opens nothing.
    EXPECT_EQ(0, RunProgram(L"kestrava.exe", L"-TRAY", environment, 20000));
    EXPECT_EQ(nullptr, WaitForWindow(renewalCaption, L"#32770", 4000, program.processId));
    ASSERT_EQ(1u, TrayIcons().size());

    // The first check finds no token; the token attached after it is seen.
    for (int waited = 0; JournalCalls(store.journal, "C_GetSlotList").empty() && waited < 45000; waited += 500)
        Sleep(500);
    ASSERT_FALSE(JournalCalls(store.journal, "C_GetSlotList").empty()) << "no check after the quiet start";
    Tool({"present", "0", "yes"});
    wchar_t dueText[256];
    swprintf(dueText, 256, L"Сертификат «%ls» действует до %02d.%02d.%04d.\nНажмите здесь, чтобы продлить его.",
             holderName, end.day, end.month, end.year);
    ASSERT_TRUE(WaitForBalloon(dueText, 30000)) << "no balloon for the due certificate";
    SaveScreenshot("reminder-balloon");

    std::vector<HWND> mainWindows = TopLevelWindows(program.processId, L"ZR51_KESTRAVA");
    ASSERT_EQ(1u, mainWindows.size());
    EXPECT_TRUE(RenewalDialogs().empty()) << "a renewal dialog before the click";
    PostMessageW(mainWindows.front(), trayCallback, 1, balloonClick);
    HWND dialog = WaitForWindow(renewalCaption, L"#32770", 15000, program.processId);
    ASSERT_NE(nullptr, dialog);
    for (int waited = 0; !RenewEnabled(dialog) && waited < 20000; waited += 100)
        Sleep(100);
    EXPECT_TRUE(RenewEnabled(dialog));
    std::vector<std::wstring> details = Details(dialog);
    EXPECT_EQ(holderName, details[0]);
    EXPECT_EQ(Text(end), details[6]);
    EXPECT_EQ(nullptr, WaitForWindow(L"Сертификаты", L"#32770", 0, program.processId)) << "the list was shown";
    SaveScreenshot("reminder-renewal-dialog");

    // The token taken out before the click: the dialog says what is missing.
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog, 5000));
    Tool({"present", "0", "no"});
    PostMessageW(mainWindows.front(), trayCallback, 1, balloonClick);
    HWND gone = WaitForBox(L"Внимание", 20000);
    ASSERT_NE(nullptr, gone);
    EXPECT_EQ(std::wstring(L"Сертификат «") + holderName +
                  L"» не найден на подключённых носителях. Подключите носитель и нажмите «Выбрать».",
              MessageBoxText(gone));
    ClickButton(gone, IDOK);
    ASSERT_TRUE(WaitForWindowGone(gone, 5000));
    Tool({"present", "0", "yes"});
    ExitThroughMenu();
    KillProgram(program);

    // Started again the same day: the certificate was reminded of today.
    size_t closes = JournalCalls(store.journal, "C_CloseAllSessions").size();
    program = StartProgram(L"kestrava.exe", environment, L"/tray");
    ASSERT_TRUE(program.process);
    ASSERT_TRUE(WaitForCheckOver(store.journal, closes)) << "no check after the second start";
    EXPECT_TRUE(BalloonTexts().empty()) << "reminded twice the same day";
    ExitThroughMenu();
}

// What a quiet start's first check shows for one token: a certificate ending
// at end, maybe a later one of the same holder, maybe a key pair left by a
// renewal pairDaysAgo days ago.
struct CheckRow {
    const char *name;
    bool ended, later;
    int pairDaysAgo;  // -1: none
    std::wstring balloon;  // empty: none
    const wchar_t *clickOpens;
};

TEST_F(Reminder, AQuietCheckRemindsOnlyWhereRenewingHelps)
{
    const CheckRow rows[] = {
        // A finished renewal, or a certificate written from a file: the old
        // certificate would be paid for twice, and the pair is not unfinished.
        {"due beside a later certificate of its holder", false, true, -1, L"", nullptr},
        // The pair waits for a certificate the centre may have issued.
        {"due beside an unfinished renewal", false, false, 1, unfinishedText, L"Файл сертификата"},
        // Reminded for 30 days, then no more.
        {"ended and left unfinished 40 days ago", true, false, 40, L"", nullptr},
    };
    // A failed assertion ends its row only.
    auto check = [&](const CheckRow &row, size_t i) {
        RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
        work = FreshWorkDir("Reminder-check-" + std::to_string(i));
        store = UseFreshTokenStore(work);
        MakeHolderToken(0, "4b45", row.ended ? "-40d" : Utc(MonthsFromNow(1, 15, 12)), "-400d");
        if (row.later)
            AddHolderCertificate(0, RenewalIdHex(1, holderInn), Utc(MonthsFromNow(13, 15, 12)), "-1d");
        if (row.pairDaysAgo >= 0)
            Tool({"keygen", "0", "--id", RenewalIdHex(row.pairDaysAgo, holderInn)});
        size_t closes = JournalCalls(store.journal, "C_CloseAllSessions").size();
        program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
                                                 {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)}}, L"/tray");
        ASSERT_TRUE(program.process);
        ASSERT_TRUE(WaitForCheckOver(store.journal, closes)) << "no check after the quiet start";
        std::vector<HWND> mainWindows = TopLevelWindows(program.processId, L"ZR51_KESTRAVA");
        ASSERT_EQ(1u, mainWindows.size());
        HWND mainWindow = mainWindows.front();
        if (row.balloon.empty()) {
            EXPECT_TRUE(BalloonTexts().empty()) << "a balloon";
        } else {
            EXPECT_TRUE(Shown(row.balloon)) << "not the balloon expected";
            EXPECT_EQ(nullptr, WaitForWindow(row.clickOpens, L"#32770", 0, program.processId)) << "before the click";
            PostMessageW(mainWindow, trayCallback, 1, balloonClick);
            HWND opened = WaitForWindow(row.clickOpens, L"#32770", 15000, program.processId);
            ASSERT_NE(nullptr, opened) << "the click opened nothing";
            PostMessageW(opened, WM_COMMAND, IDCANCEL, 0);
            EXPECT_TRUE(WaitForWindowGone(opened, 5000));
        }

        // Findings that another process makes up are not read.
        PostMessageW(mainWindow, checkDone, 0, 0x10);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.process, 2000)) << "ended by a forged report";

        // The shell's notification area made anew: the icon comes back, and
        // its menu with it.
        NOTIFYICONDATAW icon = {sizeof icon, mainWindow, 1};
        ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
        for (int waited = 0; !TrayIcons().empty() && waited < 5000; waited += 100)
            Sleep(100);
        ASSERT_TRUE(TrayIcons().empty());
        SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000,
                            nullptr);
        for (int waited = 0; TrayIcons().size() != 1 && waited < 5000; waited += 100)
            Sleep(100);
        ASSERT_EQ(1u, TrayIcons().size()) << "the icon did not come back";
        ExitThroughMenu();
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(rows[i].name);
        check(rows[i], i);
        // A row that failed leaves its program, and its icon a moment.
        KillProgram(program);
        for (int waited = 0; !TrayIcons().empty() && waited < 5000; waited += 100)
            Sleep(100);
    }
}
