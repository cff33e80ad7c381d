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

DWORD TodayNumber()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return now.wYear * 10000u + now.wMonth * 100u + now.wDay;
}

// The day the program noted for the first certificate it reminded of; 0
// when it noted none.
DWORD NotedCertificateDay()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, remindersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD found = 0;
    wchar_t name[1024];
    for (DWORD i = 0; !found; ++i) {
        DWORD length = 1024, type = 0, day = 0, size = sizeof day;
        if (RegEnumValueW(key, i, name, &length, nullptr, &type, (BYTE *)&day, &size) != ERROR_SUCCESS)
            break;
        if (wcsncmp(name, L"certificate ", 12) == 0 && type == REG_DWORD)
            found = day;
    }
    RegCloseKey(key);
    return found;
}

// The due balloon's text for the holder's certificate ending at end.
std::wstring DueText(const LocalMoment &end)
{
    wchar_t text[256];
    swprintf(text, 256, L"Сертификат «%ls» действует до %02d.%02d.%04d.\nНажмите здесь, чтобы продлить его.",
             holderName, end.day, end.month, end.year);
    return text;
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

TEST_F(Reminder, AQuietStartRemindsOfADueCertificateAndLeadsToItsRenewal)
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
    DWORD day = TodayNumber();
    Tool({"present", "0", "yes"});
    std::wstring dueText = DueText(end);
    ASSERT_TRUE(WaitForBalloon(dueText, 30000)) << "no balloon for the due certificate";
    SaveScreenshot("reminder-balloon");
    // The day of the balloon is the day noted (unless the test ran across midnight).
    EXPECT_TRUE(NotedCertificateDay() == day || TodayNumber() != day) << "not the balloon's day noted";

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
    ExitThroughMenu();

    // A restart the same day stays silent.
    Tool({"present", "0", "yes"});
    size_t closes = JournalCalls(store.journal, "C_CloseAllSessions").size();
    program = StartProgram(L"kestrava.exe", environment, L"/tray");
    ASSERT_TRUE(WaitForCheckOver(store.journal, closes)) << "no check after the second start";
    EXPECT_TRUE(BalloonTexts().empty() || TodayNumber() != day) << "reminded twice the same day";
    ExitThroughMenu();
}

// What a quiet start's first check shows for one token: a certificate ending
// at end, maybe a later one of the same holder or of its director, maybe a
// key pair left by a renewal pairDaysAgo days ago, maybe a fault of the
// token. A balloon comes within a minute of the start.
enum Later { NoLater, LaterOfItsHolder, LaterPersonalOfItsDirector };
struct CheckRow {
    const char *name;
    bool ended;
    Later later;
    int pairDaysAgo;  // -1: none
    std::vector<std::string> faults;  // softtoken fault arguments
    bool dueBalloon;
    std::wstring balloon;  // with dueBalloon false: empty for none
    const wchar_t *clickOpens;
    bool pairNoted = false;  // the pair reminded of today already
};

class QuietCheck : public KestravaFixture, public ::testing::WithParamInterface<CheckRow> {};

// A director's company certificate (the person's INN, the company's INNLE
// and OGRN) and the same person's own one.
const std::vector<std::string> companyOfDirector = {
    "C=RU", "O=ООО \"Ромашка\"", "CN=ООО \"Ромашка\"", "SN=Иванов", "GN=Иван Иванович", "OGRN=NUMERIC:1027700132195",
    "INN=NUMERIC:771234567890", "1.2.643.100.4=NUMERIC:7712345678", "SNILS=NUMERIC:11223344595"};
const std::vector<std::string> directorsOwn = {"C=RU",          "CN=Иванов Иван Иванович",  "SN=Иванов",
                                               "GN=Иван Иванович", "INN=NUMERIC:771234567890", "SNILS=NUMERIC:11223344595"};

TEST_P(QuietCheck, RemindsOnlyWhereRenewingHelps)
{
    const CheckRow &row = GetParam();
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    LocalMoment end = MonthsFromNow(1, 15, 12);
    if (row.later == LaterPersonalOfItsDirector)
        holderRdns = companyOfDirector;
    MakeHolderToken(0, "4b45", row.ended ? "-40d" : Utc(end), "-400d");
    if (row.later == LaterPersonalOfItsDirector)
        holderRdns = directorsOwn;
    if (row.later != NoLater)
        AddHolderCertificate(0, RenewalIdHex(1, holderInn), Utc(MonthsFromNow(13, 15, 12)), "-1d");
    std::string pairId = RenewalIdHex(row.pairDaysAgo, holderInn);
    if (row.pairDaysAgo >= 0)
        Tool({"keygen", "0", "--id", pairId});
    DWORD today = TodayNumber();
    std::wstring pairName = L"pair ST00000000000000 " + std::wstring(pairId.begin(), pairId.end());
    if (row.pairNoted)
        RegSetKeyValueW(HKEY_CURRENT_USER, remindersKey, pairName.c_str(), REG_DWORD, &today, sizeof today);
    if (!row.faults.empty())
        Tool(row.faults);
    std::wstring balloon = row.dueBalloon ? DueText(end) : row.balloon;
    size_t closes = JournalCalls(store.journal, "C_CloseAllSessions").size();
    DWORD started = GetTickCount();
    program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
                                             {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)}}, L"/tray");
    ASSERT_TRUE(program.process);
    std::vector<HWND> mainWindows;
    for (int waited = 0; mainWindows.empty() && waited < 10000; waited += 100) {
        mainWindows = TopLevelWindows(program.processId, L"ZR51_KESTRAVA");
        Sleep(mainWindows.empty() ? 100 : 0);
    }
    ASSERT_EQ(1u, mainWindows.size());
    HWND mainWindow = mainWindows.front();
    // The shell's notification area loses the icon before the first check
    // ends and is made anew after it: the check's reminder comes then.
    for (int waited = 0; TrayIcons().empty() && waited < 10000; waited += 100)
        Sleep(100);
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = mainWindow;
    icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    ASSERT_TRUE(WaitForCheckOver(store.journal, closes)) << "no check after the quiet start";
    EXPECT_TRUE(BalloonTexts().empty()) << "a balloon without the icon";
    SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    for (int waited = 0; TrayIcons().size() != 1 && waited < 5000; waited += 100)
        Sleep(100);
    ASSERT_EQ(1u, TrayIcons().size()) << "the icon did not come back";
    if (balloon.empty()) {
        Sleep(3000);
        EXPECT_TRUE(BalloonTexts().empty()) << "a balloon";
    } else {
        int left = 60000 - (int)(GetTickCount() - started);
        ASSERT_TRUE(WaitForBalloon(balloon, left > 0 ? left : 0)) << "not the balloon expected within a minute";
        EXPECT_EQ(nullptr, WaitForWindow(row.clickOpens, L"#32770", 0, program.processId)) << "before the click";
        PostMessageW(mainWindow, trayCallback, 1, balloonClick);
        HWND opened = WaitForWindow(row.clickOpens, L"#32770", 15000, program.processId);
        ASSERT_NE(nullptr, opened) << "the click opened nothing";
        PostMessageW(opened, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(WaitForWindowGone(opened, 5000));
    }
    std::string journal;
    EXPECT_TRUE(row.faults.empty() || (ReadFileBytes(store.journal, journal) &&
                                       journal.find(" rv=" + row.faults[3]) != std::string::npos)) << "no fault met";

    // Findings that another process makes up are not read.
    PostMessageW(mainWindow, checkDone, 0, 0x10);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.process, 2000)) << "ended by a forged report";

    ExitThroughMenu();
}

// Each row is a test of its own, so that the rows run side by side.
INSTANTIATE_TEST_SUITE_P(
    Reminder, QuietCheck,
    ::testing::Values(
        // The control of the next row: the token was read, the certificate is due.
        CheckRow{"DueAlone", false, NoLater, -1, {}, true, L"", renewalCaption},
        // A finished renewal, or a certificate written from a file: the old
        // certificate would be paid for twice, and the pair is not unfinished.
        CheckRow{"DueBesideALaterCertificateOfItsHolder", false, LaterOfItsHolder, -1, {}, false, L"", nullptr},
        // The director's own certificate does not stand for the company's.
        CheckRow{"DueCompanyCertificateBesideALaterPersonalOneOfItsDirector", false, LaterPersonalOfItsDirector, -1,
                 {}, true, L"", renewalCaption},
        // A token still settling when first looked at is looked at again.
        CheckRow{"ATokenWhoseFirstSessionFails", false, NoLater, -1, {"fault", "0", "C_OpenSession", "0x30", "--once"},
                 true, L"", renewalCaption},
        // The pair waits for a certificate the centre may have issued: it
        // comes first, and its holder's due certificate waits while it is
        // reminded of.
        CheckRow{"AnUnfinishedRenewalComesFirst", false, NoLater, 1, {}, false, unfinishedText, L"Файл сертификата"},
        CheckRow{"DueBesideAnUnfinishedRenewal", false, NoLater, 1, {}, false, L"", nullptr, true},
        // Reminded for 30 days, then no more.
        CheckRow{"EndedAndLeftUnfinished40DaysAgo", true, NoLater, 40, {}, false, L"", nullptr}),
    [](const ::testing::TestParamInfo<CheckRow> &info) { return std::string(info.param.name); });
