// kestrava.exe as its user meets it: started, the renewal dialog opening by
// itself, a certificate chosen from the token, the expiry rule, the renewal
// against the test renewal server, and the ways the dialog is brought back.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <sstream>

#include "kestrava_fixture.h"
#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

using Kestrava = KestravaFixture;

namespace {

const wchar_t confirmText[] =
    L"Сертификат будет заменен на новый, действующий с текущей даты.\n"
    L"Срок действия нового сертификата 13 месяцев.\n"
    L"Продолжить?";
const wchar_t notDueText[] =
    L"Срок действия выбранного сертификата истекает более чем через месяц.\n"
    L"Продление не требуется.";
const wchar_t notFoundText[] =
    L"Не удалось найти сертификат для продления.\n"
    L"Убедитесь, что носитель подключен и виден в системе.";

// The holder's details as the dialog shows them, the end of validity last.
std::vector<std::wstring> HolderDetails(const std::wstring &validTo)
{
    return {
        L"ООО \"Ромашка\"",
        L"\"ООО \"\"Ромашка\"\"\"",
        L"1027700132195",
        L"007712345678",
        L"Иванов Иван Иванович",
        L"11223344595",
        validTo,
    };
}

const std::vector<std::wstring> noDetails(7, L"");

std::string Lower(std::string text)
{
    for (char &c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

// Answers the PIN dialog of the renewal.
void EnterPin(HWND pinDialog, const char *pin)
{
    ASSERT_TRUE(pinDialog) << "no PIN dialog";
    ASSERT_TRUE(SetControlText(pinDialog, IDC_PIN, Widen(pin).c_str()));
    ClickButton(pinDialog, IDOK);
}

}  // namespace

TEST_F(Kestrava, RenewsACertificateFromStartUpToTheNewCertificateOnTheToken)
{
    LocalMoment ends = MonthsFromNow(1, 15, 12);
    std::string serial = MakeHolderToken(0, "A1", Utc(ends));
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " pay " + ShellQuote(caDir) + " " + serial);
    StartServer();

    HWND dialog = StartKestrava(true);
    ASSERT_TRUE(dialog) << "the renewal dialog did not open by itself";
    EXPECT_EQ(1u, RenewalDialogs().size());
    EXPECT_EQ(noDetails, Details(dialog));
    EXPECT_FALSE(RenewEnabled(dialog));
    SaveScreenshot("whole-02-renewal-dialog");

    ASSERT_TRUE(ClickButton(dialog, IDC_CHOOSE));
    HWND search = WaitForBox(L"Поиск сертификатов");
    ASSERT_TRUE(search);
    SaveScreenshot("whole-03-search");
    ASSERT_TRUE(WaitForWindowGone(search, 15000));
    // Choose picks up from the list the search led to.
    HWND list = WaitForBox(L"Сертификаты");
    ASSERT_TRUE(list);
    PostMessageW(GetDlgItem(list, IDC_CERT_LIST), WM_KEYDOWN, VK_HOME, 0);
    Sleep(300);
    SaveScreenshot("whole-04-list");
    ClickButton(list, IDOK);
    ASSERT_TRUE(WaitForWindowGone(list));

    EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
    EXPECT_TRUE(RenewEnabled(dialog));
    // The details are shown greyed in bordered fields that no one can edit,
    // in a plain frame.
    for (int id : detailIds) {
        HWND field = GetDlgItem(dialog, id);
        EXPECT_FALSE(IsWindowEnabled(field)) << id;
        EXPECT_TRUE(GetWindowLongW(field, GWL_STYLE) & ES_READONLY) << id;
        RECT outside, inside;
        GetWindowRect(field, &outside);
        GetClientRect(field, &inside);
        EXPECT_LT(inside.right, outside.right - outside.left) << id << " has no border";
    }
    EXPECT_FALSE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    SaveScreenshot("whole-05-chosen");

    ASSERT_TRUE(ClickButton(dialog, IDC_RENEW));
    HWND confirm = WaitForBox(L"Внимание");
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirmText, MessageBoxText(confirm));
    SaveScreenshot("whole-06-confirmation");
    ClickButton(confirm, IDYES);

    HWND pin = WaitForBox(L"PIN-код ГОСТ");
    ASSERT_TRUE(pin);
    SaveScreenshot("whole-07-pin");
    EnterPin(pin, holderPin);

    HWND done = WaitForBox(L"Новый сертификат", 60000);
    ASSERT_TRUE(done) << "no success box";
    EXPECT_EQ(L"Сертификат был успешно обновлен.", MessageBoxText(done));
    SaveScreenshot("whole-08-renewed");
    ClickButton(done, IDOK);
    ASSERT_TRUE(WaitForWindowGone(done));

    for (int waited = 0; RenewEnabled(dialog) && waited < 10000; waited += 100)
        Sleep(100);
    EXPECT_FALSE(RenewEnabled(dialog));
    EXPECT_EQ(noDetails, Details(dialog));
    SaveScreenshot("whole-09-after-renewal");

    // On the token: the new certificate and key pair, nothing of the old one.
    std::vector<TokenObject> objects = ListTokenObjects(0);
    ASSERT_EQ(3u, objects.size()) << "a certificate and its key pair";
    std::string newId;
    int certificates = 0;
    for (const TokenObject &object : objects) {
        EXPECT_NE("a1", Lower(object.idHex));
        if (object.objectClass == "certificate") {
            ++certificates;
            EXPECT_EQ("EGAIS", object.label);
            newId = object.idHex;
        }
    }
    EXPECT_EQ(1, certificates);
    for (const TokenObject &object : objects)
        EXPECT_EQ(newId, object.idHex) << object.objectClass;

    // The renewal server issued it against the payment.
    std::string ledger;
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " ledger " + ShellQuote(caDir) + " " + serial, &ledger);
    EXPECT_NE(std::string::npos, ledger.find("used")) << ledger;

    // The program keeps running in the notification area.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(program.process, 0));
    EXPECT_TRUE(SessionsLeftOpen(store.journal).empty());
}

TEST_F(Kestrava, TheExpiryRuleCountsOnlyTheLocalYearAndMonth)
{
    LocalMoment thisMonth = LastDayOfThisMonth(20);
    LocalMoment nextMonth = MonthsFromNow(1, 15, 12);
    // 01:00 in Moscow on the 1st is still the month before in UTC: only the
    // local month may count.
    LocalMoment monthAfter = MonthsFromNow(2, 1, 1);
    MakeHolderToken(0, "01", Utc(thisMonth));
    AddHolderCertificate(0, "02", Utc(nextMonth));
    AddHolderCertificate(0, "03", Utc(monthAfter));
    AddHolderCertificate(0, "04", "-2d", "-60d");

    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);

    struct Case {
        int row;
        std::wstring validTo;
        bool due;
    } cases[] = {
        {0, Text(thisMonth), true},
        {1, Text(nextMonth), true},
        {2, Text(monthAfter), false},
        {3, L"", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.row));
        ASSERT_TRUE(Choose(dialog, c.row));
        std::vector<std::wstring> shown = Details(dialog);
        if (!c.validTo.empty()) {
            EXPECT_EQ(c.validTo, shown[6]);
        }
        ASSERT_TRUE(RenewEnabled(dialog));
        ClickButton(dialog, IDC_RENEW);
        if (c.due) {
            HWND confirm = WaitForBox(L"Внимание");
            ASSERT_TRUE(confirm);
            EXPECT_EQ(confirmText, MessageBoxText(confirm));
            ClickButton(confirm, IDNO);
            ASSERT_TRUE(WaitForWindowGone(confirm));
        } else {
            HWND refusal = WaitForBox(L"Внимание!");
            ASSERT_TRUE(refusal);
            EXPECT_EQ(notDueText, MessageBoxText(refusal));
            if (c.row == 2)
                SaveScreenshot("whole-expiry-refused");
            ClickButton(refusal, IDOK);
            ASSERT_TRUE(WaitForWindowGone(refusal));
        }
        // Neither the refusal nor the answer No changes anything.
        EXPECT_EQ(shown, Details(dialog));
        EXPECT_TRUE(RenewEnabled(dialog));
    }
    EXPECT_EQ(12u, ListTokenObjects(0).size()) << "nothing was removed";
}

TEST_F(Kestrava, NoTokenClearsAnEarlierChoice)
{
    MakeHolderToken(0, "A1", Utc(MonthsFromNow(1, 10, 10)));
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));
    ASSERT_TRUE(RenewEnabled(dialog));

    Tool({"present", "0", "no"});
    ASSERT_TRUE(ClickButton(dialog, IDC_CHOOSE));
    HWND box = WaitForBox(L"Сертификаты не найдены", 20000);
    ASSERT_TRUE(box);
    EXPECT_EQ(notFoundText, MessageBoxText(box));
    SaveScreenshot("whole-not-found");
    ClickButton(box, IDOK);
    ASSERT_TRUE(WaitForWindowGone(box));
    EXPECT_EQ(noDetails, Details(dialog));
    EXPECT_FALSE(RenewEnabled(dialog));
}

TEST_F(Kestrava, AListClosedWithoutAChoiceClearsTheDetails)
{
    LocalMoment ends = MonthsFromNow(1, 10, 10);
    MakeHolderToken(0, "A1", Utc(ends));
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);

    ASSERT_TRUE(Choose(dialog, 0));
    EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
    ASSERT_TRUE(Choose(dialog, -2));  // "Отмена"
    EXPECT_EQ(noDetails, Details(dialog));
    EXPECT_FALSE(RenewEnabled(dialog));

    ASSERT_TRUE(Choose(dialog, 0));
    EXPECT_TRUE(RenewEnabled(dialog));
    ASSERT_TRUE(Choose(dialog, -1));  // "Выбрать" with no row marked
    EXPECT_EQ(noDetails, Details(dialog));
    EXPECT_FALSE(RenewEnabled(dialog));
}

// Token objects that cannot be renewed: chosen, they say why at once, and
// "Продлить" stays off.
enum UnrenewableObject { NotACertificate, NoIdentifier, RsaKey };
struct Unrenewable {
    const char *name;
    UnrenewableObject object;
    const wchar_t *text;
};

class UnrenewableChoice : public KestravaFixture, public ::testing::WithParamInterface<Unrenewable> {};

TEST_P(UnrenewableChoice, SaysWhyWhenChosenAndTheGoodCertificateStaysRenewable)
{
    LocalMoment ends = MonthsFromNow(1, 10, 10);
    MakeHolderToken(0, "A1", Utc(ends));
    switch (GetParam().object) {
    case NoIdentifier:
        // The holder's own certificate again, under an empty identifier.
        Tool({"import-cert", "0", "--id", "", "--label", "Без идентификатора", "--file", work + "/certificate-A1.der"});
        break;
    case NotACertificate: {
        std::string garbage = work + "/garbage.bin";
        ASSERT_TRUE(WriteFileBytes(garbage, std::string(400, '\x30')));
        Tool({"add-object", "0", "--class", "1", "--id", "B2", "--value-file", garbage});
        break;
    }
    case RsaKey: {
        std::string output;
        ASSERT_EQ(0, RunUnix("cd " + ShellQuote(work) +
                                 " && openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -subj '/CN=RSA holder'"
                                 " -days 30 -outform DER -out rsa.der",
                             &output))
            << output;
        Tool({"import-cert", "0", "--id", "C3", "--label", "RSA", "--file", work + "/rsa.der"});
        break;
    }
    }
    std::vector<TokenObject> before = ListTokenObjects(0);
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);

    ASSERT_TRUE(ClickButton(dialog, IDC_CHOOSE));
    HWND list = WaitForBox(L"Сертификаты", 20000);
    ASSERT_TRUE(list);
    HWND listView = GetDlgItem(list, IDC_CERT_LIST);
    PostMessageW(listView, WM_KEYDOWN, VK_END, 0);
    for (int waited = 0; SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0) != 1 && waited < 5000; waited += 50)
        Sleep(50);
    ClickButton(list, IDOK);
    HWND box = WaitForBox(L"Ошибка");
    ASSERT_TRUE(box);
    EXPECT_EQ(GetParam().text, MessageBoxText(box));
    SaveScreenshot(std::string("whole-unrenewable-") + GetParam().name);
    ClickButton(box, IDOK);
    ASSERT_TRUE(WaitForWindowGone(box));
    std::vector<std::wstring> shown = Details(dialog);
    switch (GetParam().object) {
    case NotACertificate:
        EXPECT_EQ(noDetails, shown);
        break;
    case NoIdentifier:
        EXPECT_EQ(HolderDetails(Text(ends)), shown);
        break;
    case RsaKey:
        EXPECT_EQ(L"RSA holder", shown[0]);
        break;
    }
    EXPECT_FALSE(RenewEnabled(dialog));

    // The good certificate on the same token is still chosen as usual.
    ASSERT_TRUE(Choose(dialog, 0));
    EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
    EXPECT_TRUE(RenewEnabled(dialog));
    std::vector<TokenObject> after = ListTokenObjects(0);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); i++)
        EXPECT_EQ(before[i].idHex + before[i].label, after[i].idHex + after[i].label);
}

INSTANTIATE_TEST_SUITE_P(
    Kestrava, UnrenewableChoice,
    ::testing::Values(Unrenewable{"NotACertificate", NotACertificate,
                                  L"Выбранный объект носителя не удалось прочитать как сертификат: срок его "
                                  L"действия неизвестен.\nПродлить его нельзя."},
                      Unrenewable{"NoIdentifier", NoIdentifier,
                                  L"Сертификат на носителе не имеет идентификатора, поэтому его нельзя продлить."},
                      Unrenewable{"RsaKey", RsaKey,
                                  L"Ключ этого сертификата не относится к ГОСТ Р 34.10, поэтому сертификат нельзя "
                                  L"продлить."}),
    [](const ::testing::TestParamInfo<Unrenewable> &info) { return std::string(info.param.name); });

TEST_F(Kestrava, AFailedRenewalKeepsTheChoice)
{
    LocalMoment ends = MonthsFromNow(1, 10, 10);
    MakeHolderToken(0, "A1", Utc(ends));
    StartServer("--fault not-paid");
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));
    std::vector<TokenObject> before = ListTokenObjects(0);
    auto expectChoiceKept = [&] {
        for (int waited = 0; !IsWindowEnabled(dialog) && waited < 10000; waited += 100)
            Sleep(100);
        EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
        EXPECT_TRUE(RenewEnabled(dialog));
    };

    // Cancelled at the PIN.
    HWND pin = RenewAndConfirm(dialog);
    ASSERT_TRUE(pin);
    ClickButton(pin, IDCANCEL);
    ASSERT_TRUE(WaitForWindowGone(pin));
    expectChoiceKept();

    auto boxThenChoiceKept = [&](const wchar_t *caption, const wchar_t *text) {
        HWND box = WaitForBox(caption, 30000);
        ASSERT_TRUE(box);
        EXPECT_EQ(text, MessageBoxText(box));
        ClickButton(box, IDOK);
        ASSERT_TRUE(WaitForWindowGone(box));
        expectChoiceKept();
    };

    // A wrong PIN, refused by the token (also run where the system's code
    // page is not Cyrillic: the box must read the same).
    EnterPin(RenewAndConfirm(dialog), "0000");
    ASSERT_NO_FATAL_FAILURE(boxThenChoiceKept(L"C_Login", L"Неверный PIN-код"));

    // Refused by the server as not paid.
    EnterPin(RenewAndConfirm(dialog), holderPin);
    ASSERT_NO_FATAL_FAILURE(boxThenChoiceKept(L"Ошибка", L"Продление сертификата не оплачено."));
    std::vector<TokenObject> after = ListTokenObjects(0);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(before[i].handle, after[i].handle);
}

TEST_F(Kestrava, TheMenuItemAndASecondStartBringTheOpenDialogForward)
{
    LocalMoment ends = MonthsFromNow(1, 10, 10);
    MakeHolderToken(0, "A1", Utc(ends));
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));

    // "Утилиты" > "Продление сертификата на JaCarta".
    ASSERT_TRUE(ChooseTrayMenuItem(0, 0));
    Sleep(1000);
    EXPECT_EQ(std::vector<HWND>{dialog}, RenewalDialogs());
    EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
    EXPECT_TRUE(RenewEnabled(dialog));

    RunningProgram second = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}});
    EXPECT_EQ(0, WaitForExit(second, 15000));
    KillProgram(second);
    EXPECT_EQ(std::vector<HWND>{dialog}, RenewalDialogs());
    EXPECT_EQ(dialog, GetForegroundWindow());
    EXPECT_EQ(HolderDetails(Text(ends)), Details(dialog));
    EXPECT_TRUE(RenewEnabled(dialog));

    // Closed, the next request opens a fresh, empty one.
    ClickButton(dialog, IDCANCEL);
    ASSERT_TRUE(WaitForWindowGone(dialog));
    ASSERT_TRUE(ChooseTrayMenuItem(0, 0));
    HWND fresh = WaitForBox(renewalCaption);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(noDetails, Details(fresh));
    EXPECT_FALSE(RenewEnabled(fresh));
}

TEST_F(Kestrava, ASecondStartDuringTheStartUpPictureEndsWithOneDialog)
{
    program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}});
    ASSERT_TRUE(WaitForWindow(L"Kestrava", L"ZR51_KESTRAVA", 10000, program.processId));
    RunningProgram second = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}});
    EXPECT_EQ(0, WaitForExit(second, 15000));
    KillProgram(second);
    HWND dialog = WaitForBox(renewalCaption);
    ASSERT_TRUE(dialog);
    // Past the start-up picture's own request for the dialog.
    Sleep(4000);
    EXPECT_EQ(std::vector<HWND>{dialog}, RenewalDialogs());
}

TEST_F(Kestrava, ExitWaitsForARenewalThatIsUnderWay)
{
    std::string serial = MakeHolderToken(0, "A1", Utc(MonthsFromNow(1, 10, 10)));
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " pay " + ShellQuote(caDir) + " " + serial);
    StartServer("--fault slow:6:pay");
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));
    EnterPin(RenewAndConfirm(dialog), holderPin);
    HWND progress = WaitForBox(L"Продление сертификата");
    ASSERT_TRUE(progress);
    Sleep(1000);

    // "Выход" while the worker waits for the server.
    ASSERT_TRUE(ChooseTrayMenuItem(3));
    HWND refusal = WaitForBox(L"Внимание");
    ASSERT_TRUE(refusal);
    EXPECT_EQ(L"Программа сейчас работает с ключевым носителем.\n"
              L"Дождитесь окончания операции, затем выйдите из программы.",
              MessageBoxText(refusal));
    ClickButton(refusal, IDOK);
    EXPECT_TRUE(JournalCalls(store.journal, "C_Finalize").empty()) << "finalized under the worker";
    // Windows ending the session is refused too.
    HWND mainWindow = FindWindowW(L"ZR51_KESTRAVA", L"Kestrava");
    ASSERT_TRUE(mainWindow);
    DWORD_PTR answer = 99;
    SendMessageTimeoutW(mainWindow, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_EQ((DWORD_PTR)FALSE, answer);

    HWND done = WaitForBox(L"Новый сертификат", 60000);
    ASSERT_TRUE(done);
    ClickButton(done, IDOK);
    ASSERT_TRUE(WaitForWindowGone(done));
    ASSERT_TRUE(WaitForWindowGone(progress));
    for (int waited = 0; RenewEnabled(dialog) && waited < 10000; waited += 100)
        Sleep(100);
    answer = 99;
    SendMessageTimeoutW(mainWindow, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_EQ((DWORD_PTR)TRUE, answer);

    // Afterwards the program ends cleanly.
    ASSERT_NO_FATAL_FAILURE(ExitThroughMenu());

    // The library was finalized only after the worker's last call.
    std::string journal;
    ReadFileBytes(store.journal, journal);
    size_t finalize = journal.find("C_Finalize");
    ASSERT_NE(std::string::npos, finalize);
    std::istringstream after(journal.substr(finalize));
    for (std::string line; std::getline(after, line);)
        EXPECT_EQ(0u, line.find("C_Finalize")) << "after C_Finalize: " << line;
}
