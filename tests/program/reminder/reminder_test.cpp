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

// Waits for the quiet check to have read the token (its sessions closed
// after the journal had closes sessions), then for the findings to be
// handled: whatever balloon it brings is up by then.
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

// The identifier a renewal started daysAgo days ago gives its new objects
// (the program's local time, UTC+3), as hex.
std::string RenewalIdHex(int daysAgo, const std::string &inn)
{
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    FILETIME file;
    SystemTimeToFileTime(&utc, &file);
    ULONGLONG ticks = ((ULONGLONG)file.dwHighDateTime << 32) | file.dwLowDateTime;
    ticks = ticks + 3 * 36000000000ULL - (ULONGLONG)daysAgo * 24 * 36000000000ULL - 36000000000ULL;
    file = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME local;
    FileTimeToSystemTime(&file, &local);
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

// What a quiet start shows for the tokens as they are at its first check.
struct CheckRow {
    const char *name;
    // Puts the certificates and key pairs on token 0.
    void (*make)(Reminder &test);
    // The balloon, empty for none.
    std::wstring balloon;
    // The window its click opens, caption and class.
    const wchar_t *clickOpens;
    const wchar_t *clickClass;
};

// Gives the tests' protected helpers to the rows.
struct RowMaker : Reminder {
    static void DueBesideLater(Reminder &test)
    {
        RowMaker &maker = static_cast<RowMaker &>(test);
        maker.MakeHolderToken(0, "4b45", Utc(MonthsFromNow(1, 15, 12)));
        // The renewal that replaced it, finished: its pair has its certificate.
        maker.AddHolderCertificate(0, RenewalIdHex(1, maker.holderInn), Utc(MonthsFromNow(13, 15, 12)), "-1d");
    }
    static void DueBesideUnfinished(Reminder &test)
    {
        RowMaker &maker = static_cast<RowMaker &>(test);
        maker.MakeHolderToken(0, "4b45", Utc(MonthsFromNow(1, 15, 12)));
        maker.Tool({"keygen", "0", "--id", RenewalIdHex(1, maker.holderInn)});
    }
    static void FortyDaysAgo(Reminder &test)
    {
        RowMaker &maker = static_cast<RowMaker &>(test);
        maker.MakeHolderToken(0, "4b45", "-40d", "-400d");
        maker.Tool({"keygen", "0", "--id", RenewalIdHex(40, maker.holderInn)});
    }
    void Run(const CheckRow &row);
};

void RowMaker::Run(const CheckRow &row)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    row.make(*this);
    std::map<std::wstring, std::wstring> environment = {
        {L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
        {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)},
    };
    size_t closes = JournalCalls(store.journal, "C_CloseAllSessions").size();
    program = StartProgram(L"kestrava.exe", environment, L"/tray");
    ASSERT_TRUE(program.process);
    ASSERT_TRUE(WaitForCheckOver(store.journal, closes)) << "no check after the quiet start";
    std::vector<HWND> mainWindows = TopLevelWindows(program.processId, L"ZR51_KESTRAVA");
    ASSERT_EQ(1u, mainWindows.size());
    if (row.balloon.empty()) {
        EXPECT_TRUE(BalloonTexts().empty()) << "a balloon";
    } else {
        EXPECT_TRUE(WaitForBalloon(row.balloon, 2000)) << "not the balloon expected";
        EXPECT_EQ(nullptr, WaitForWindow(row.clickOpens, row.clickClass, 0, program.processId)) << "before the click";
        PostMessageW(mainWindows.front(), trayCallback, 1, balloonClick);
        HWND opened = WaitForWindow(row.clickOpens, row.clickClass, 15000, program.processId);
        EXPECT_NE(nullptr, opened) << "the click opened nothing";
        if (opened)
            PostMessageW(opened, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(WaitForWindowGone(opened, 5000));
    }

    // Findings another process makes up are not read.
    PostMessageW(mainWindows.front(), checkDone, 0, 0x10);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.process, 2000)) << "ended by a forged report";

    // The shell's notification area made anew: the icon it lost comes back,
    // with its menu.
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = mainWindows.front();
    icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    for (int waited = 0; !TrayIcons().empty() && waited < 5000; waited += 100)
        Sleep(100);
    ASSERT_TRUE(TrayIcons().empty());
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000,
                        &answer);
    for (int waited = 0; TrayIcons().size() != 1 && waited < 5000; waited += 100)
        Sleep(100);
    ASSERT_EQ(1u, TrayIcons().size()) << "the icon did not come back";
    ExitThroughMenu();
}

TEST_F(RowMaker, AQuietCheckRemindsOnlyWhereRenewingHelps)
{
    const CheckRow rows[] = {
        // A finished renewal, or a certificate written from a file: the old
        // certificate would be paid for twice, and its pair is not unfinished.
        {"due beside a later certificate of its holder", DueBesideLater, L"", nullptr, nullptr},
        // The pair waits for a certificate the centre may have issued.
        {"due beside an unfinished renewal", DueBesideUnfinished, unfinishedText, L"Файл сертификата", L"#32770"},
        // Reminded for 30 days, then no more.
        {"ended and left unfinished 40 days ago", FortyDaysAgo, L"", nullptr, nullptr},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(rows[i].name);
        // Each row on a token store of its own.
        work = FreshWorkDir("Reminder-check-" + std::to_string(i));
        store = UseFreshTokenStore(work);
        Run(rows[i]);
        // A row that failed may leave its program and icon.
        KillProgram(program);
        for (int waited = 0; !TrayIcons().empty() && waited < 5000; waited += 100)
            Sleep(100);
    }
}
