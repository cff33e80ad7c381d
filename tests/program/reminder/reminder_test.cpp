// A quiet start at logon as its holder meets it: no window, then a balloon
// of the notification-area icon when a token with a due certificate is
// attached, the renewal dialog ready at its click, and once a day only.
#include <gtest/gtest.h>

#include <windows.h>

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

}  // namespace

TEST_F(Reminder, AQuietStartRemindsOfADueCertificateOnceADayAndLeadsToItsRenewal)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    LocalMoment end = MonthsFromNow(1, 15, 12);
    MakeHolderToken(0, "4b45", Utc(end));
    // The pair a renewal left when its certificate never came.
    std::string renewalId = std::string("20261208101500-") + holderInn;
    Tool({"keygen", "0", "--id", ToHexText(renewalId)});
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

    // Started again the same day: the certificate was reminded of today, the
    // unfinished renewal comes instead.
    program = StartProgram(L"kestrava.exe", environment, L"/tray");
    ASSERT_TRUE(program.process);
    EXPECT_TRUE(WaitForBalloon(unfinishedText, 50000, dueText)) << "no balloon for the unfinished renewal";
    SaveScreenshot("reminder-unfinished");
    ExitThroughMenu();
}
