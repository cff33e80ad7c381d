#include "kestrava_fixture.h"

#include <commctrl.h>

#include <cstdio>
#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

const wchar_t renewalCaption[] = L"Продление сертификата на JaCarta ГОСТ";
const char holderPin[] = "12345678";

const int detailIds[7] = {IDC_SUBJECT, IDC_ORGANIZATION, IDC_OGRN, IDC_INN, IDC_FULL_NAME, IDC_SNILS, IDC_VALID_TO};

std::string KestravaFixture::caDir;

namespace {

// The tests and the program they start run in Moscow time (TZ, set by the
// test runner), which has no summer time.
int const zoneHours = 3;

ULONGLONG Ticks(const SYSTEMTIME &time)
{
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return ((ULONGLONG)file.dwHighDateTime << 32) | file.dwLowDateTime;
}

SYSTEMTIME FromTicks(ULONGLONG ticks)
{
    FILETIME file = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME time;
    FileTimeToSystemTime(&file, &time);
    return time;
}

ULONGLONG const hourTicks = 36000000000ULL;

}  // namespace

// The moment as testca takes it: UTC, YYYYMMDDHHMMSSZ.
std::string KestravaFixture::Utc(const LocalMoment &local)
{
    SYSTEMTIME time = {};
    time.wYear = (WORD)local.year;
    time.wMonth = (WORD)local.month;
    time.wDay = (WORD)local.day;
    time.wHour = (WORD)local.hour;
    time.wMinute = (WORD)local.minute;
    time.wSecond = (WORD)local.second;
    SYSTEMTIME utc = FromTicks(Ticks(time) - zoneHours * hourTicks);
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
             utc.wMinute, utc.wSecond);
    return text;
}

namespace {

int DaysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The holder of the test certificates: an organisation with quotes in its
// name, as Russian qualified certificates have them.
std::vector<std::string> HolderSubject(const std::string &inn, bool innle)
{
    return {
        "C=RU",
        "ST=77 г. Москва",
        "L=Москва",
        "street=ул. Тверская, д. 1",
        "O=ООО \"Ромашка\"",
        "CN=ООО \"Ромашка\"",
        "title=Генеральный директор",
        "SN=Иванов",
        "GN=Иван Иванович",
        "OGRN=NUMERIC:1027700132195",
        (innle ? "1.2.643.100.4=NUMERIC:" : "INN=NUMERIC:") + inn,
        "SNILS=NUMERIC:11223344595",
        "emailAddress=info@romashka.example",
    };
}

}  // namespace

void KestravaFixture::SetUpTestSuite()
{
    if (!caDir.empty())
        return;
    std::string dir = FreshWorkDir("whole-ca") + "/ca";
    if (MakeTestCa(dir))
        caDir = dir;
}

void KestravaFixture::SetUp()
{
    ASSERT_FALSE(caDir.empty()) << "the test CA could not be made (KESTRAVA_TESTCA)";
    // Wine takes the zone from the Unix environment, which the programs
    // started from here inherit.
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_EQ(-60 * zoneHours, zone.Bias) << "run the tests with TZ=Europe/Moscow";
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    work = FreshWorkDir(std::string(test->test_suite_name()) + "-" + test->name());
    store = UseFreshTokenStore(work);
}

void KestravaFixture::TearDown()
{
    bool running = program.process != nullptr;
    KillProgram(program);
    // A killed program leaves its icon in the tray a moment; the next test
    // must find only its own.
    for (int waited = 0; running && !TrayIcons().empty() && waited < 5000; waited += 100)
        Sleep(100);
    if (serverPid)
        StopUnix(serverPid);
    serverPid = 0;
}

void KestravaFixture::Tool(const std::vector<std::string> &arguments)
{
    std::string output;
    int code = RunSoftToken(arguments, &output);
    ASSERT_EQ(0, code) << "softtoken " << arguments.front() << "\n" << output;
}

std::string KestravaFixture::AddHolderCertificate(int slot, const std::string &idHex, const std::string &notAfter,
                                                  const std::string &notBefore)
{
    std::string number = std::to_string(slot);
    std::string request = work + "/request-" + idHex + ".der";
    std::string certificate = work + "/certificate-" + idHex + ".der";
    std::vector<std::string> keygen = {"keygen", number, "--id", idHex};
    keygen.insert(keygen.end(), holderKey.begin(), holderKey.end());
    Tool(keygen);
    Tool({"csr", number, "--id", idHex, "--out", request, "--subject", "2.5.4.3=x"});
    std::string serial = MintCertificate(caDir, certificate, holderRdns.empty() ? HolderSubject(holderInn, holderInnle) : holderRdns,
                                         "--csr " + ShellQuote(request) + " --not-before " + notBefore +
                                             " --not-after " + notAfter);
    EXPECT_FALSE(serial.empty()) << "testca mint failed";
    Tool({"import-cert", number, "--id", idHex, "--label", "Иванов " + idHex, "--file", certificate});
    return serial;
}

std::string KestravaFixture::MakeHolderToken(int slot, const std::string &idHex, const std::string &notAfter,
                                             const std::string &notBefore)
{
    Tool({"init", std::to_string(slot), "--label", "JaCarta GOST", "--pin", holderPin});
    return AddHolderCertificate(slot, idHex, notAfter, notBefore);
}

void KestravaFixture::StartServer(const std::string &options, const std::string &folder)
{
    serverLog = work + "/serve.log";
    std::string testca = TestEnv("KESTRAVA_TESTCA");
    std::string served = folder.empty() ? caDir : folder;
    // Port 2000 is fixed in the program; another server may still hold it
    // (another test run on this machine), so a refused start is tried again.
    for (int attempt = 0; attempt < 60; ++attempt) {
        serverPid = StartUnix(ShellQuote(testca) + " serve " + ShellQuote(served) + " " + options, serverLog);
        ASSERT_NE(0, serverPid);
        for (int waited = 0; waited < 10000; waited += 100) {
            std::string log;
            ReadFileBytes(serverLog, log);
            if (log.find("listening on 127.0.0.1:2000") != std::string::npos)
                return;
            if (log.find("testca:") != std::string::npos)
                break;
            Sleep(100);
        }
        StopUnix(serverPid);
        serverPid = 0;
        Sleep(1000);
    }
    FAIL() << "the renewal server did not start";
}

// The code page for programs that are not Unicode as the program's own
// process has it: GetACP takes no argument, so a thread of the program can
// run it and end with its answer. 0 when it cannot be asked.
static UINT ProgramCodePage(HANDLE process)
{
    auto getAcp = (LPTHREAD_START_ROUTINE)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetACP");
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, getAcp, nullptr, 0, nullptr);
    if (!thread)
        return 0;
    DWORD codePage = 0;
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &codePage))
        codePage = 0;
    CloseHandle(thread);
    return codePage;
}

HWND KestravaFixture::StartKestrava(bool screenshots)
{
    program = StartProgram(L"kestrava.exe", {
        {L"SOFTTOKEN_DIR", WindowsPath(store.dir)},
        {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)},
    });
    if (!program.process)
        return nullptr;
    if (screenshots) {
        HWND splash = WaitForWindow(L"Kestrava", L"ZR51_KESTRAVA", 10000, program.processId);
        EXPECT_TRUE(splash) << "no start-up picture";
        Sleep(300);
        SaveScreenshot("whole-01-splash");
    }
    HWND dialog = WaitForWindow(renewalCaption, L"#32770", 20000, program.processId);
    // A run that stands for a Windows with another code page for programs
    // that are not Unicode names it: the program must really have it.
    std::string codePage = TestEnv("KESTRAVA_ANSI_CODE_PAGE");
    if (!codePage.empty()) {
        EXPECT_EQ(codePage, std::to_string(ProgramCodePage(program.process)))
            << "the program's code page for programs that are not Unicode";
    }
    return dialog;
}

bool KestravaFixture::ChooseTrayMenuItem(int position, int subPosition)
{
    std::vector<HWND> icons = TrayIcons();
    if (icons.size() != 1)
        return false;
    HWND menu = nullptr;
    // Wine's tray window now and then drops a click that comes right after
    // another window appeared; a user would click again.
    for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
        ClickWindow(icons.front(), true);
        menu = WaitForPopupMenu(program.processId, 3000);
    }
    if (!menu || !ClickMenuItem(menu, position))
        return false;
    if (subPosition < 0)
        return WaitForWindowGone(menu, 5000);
    HWND submenu = WaitForPopupMenu(program.processId, 5000, menu);
    return submenu && ClickMenuItem(submenu, subPosition) && WaitForWindowGone(submenu, 5000);
}

HWND KestravaFixture::RenewAndConfirm(HWND dialog)
{
    if (!ClickButton(dialog, IDC_RENEW))
        return nullptr;
    HWND confirm = WaitForBox(L"Внимание");
    if (!confirm)
        return nullptr;
    ClickButton(confirm, IDYES);
    return WaitForBox(L"PIN-код ГОСТ");
}

HWND KestravaFixture::WaitForBox(const wchar_t *caption, int timeoutMs)
{
    return WaitForWindow(caption, L"#32770", timeoutMs, program.processId);
}

void KestravaFixture::ExitThroughMenu()
{
    ASSERT_TRUE(ChooseTrayMenuItem(3));
    HWND question = WaitForBox(L"Внимание");
    ASSERT_TRUE(question);
    EXPECT_EQ(L"Выйти из программы?", MessageBoxText(question));
    ClickButton(question, IDYES);
    EXPECT_EQ(0, WaitForExit(program, 15000));
}

bool KestravaFixture::Choose(HWND dialog, int row, const char *screenshot)
{
    if (!ClickButton(dialog, IDC_CHOOSE))
        return false;
    HWND list = WaitForWindow(L"Сертификаты", L"#32770", 20000, program.processId);
    if (!list)
        return false;
    HWND listView = GetDlgItem(list, IDC_CERT_LIST);
    if (row >= 0) {
        // Keys to the list view, as a user would press them: Home, then Down.
        PostMessageW(listView, WM_KEYDOWN, VK_HOME, 0);
        for (int i = 0; i < row; ++i)
            PostMessageW(listView, WM_KEYDOWN, VK_DOWN, 0);
        for (int waited = 0; SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0) != row && waited < 5000; waited += 50)
            Sleep(50);
        EXPECT_EQ(row, (int)SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0));
    }
    if (screenshot)
        SaveScreenshot(screenshot);
    ClickButton(list, row == -2 ? IDCANCEL : IDOK);
    if (!WaitForWindowGone(list, 10000))
        return false;
    // The dialog shows the choice once the list has returned.
    bool chosen = row >= 0;
    for (int waited = 0; waited < 5000; waited += 50) {
        if (RenewEnabled(dialog) == chosen && ControlText(dialog, IDC_SUBJECT).empty() != chosen)
            break;
        Sleep(50);
    }
    return true;
}

std::vector<std::wstring> KestravaFixture::Details(HWND dialog)
{
    std::vector<std::wstring> texts;
    for (int id : detailIds)
        texts.push_back(ControlText(dialog, id));
    return texts;
}

bool KestravaFixture::RenewEnabled(HWND dialog)
{
    return IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)) != FALSE;
}

std::vector<HWND> KestravaFixture::RenewalDialogs()
{
    std::vector<HWND> open;
    for (HWND window : TopLevelWindows(program.processId, L"#32770"))
        if (IsWindowVisible(window) && WindowText(window) == renewalCaption)
            open.push_back(window);
    return open;
}

LocalMoment KestravaFixture::Now()
{
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    SYSTEMTIME local = FromTicks(Ticks(utc) + zoneHours * hourTicks);
    return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

LocalMoment KestravaFixture::MonthsFromNow(int months, int day, int hour, int minute)
{
    LocalMoment now = Now();
    int index = now.year * 12 + (now.month - 1) + months;
    LocalMoment moment = {index / 12, index % 12 + 1, 0, hour, minute, 0};
    moment.day = day > 0 ? day : DaysInMonth(moment.year, moment.month);
    return moment;
}

LocalMoment KestravaFixture::LastDayOfThisMonth(int hour)
{
    return MonthsFromNow(0, 0, hour);
}

std::wstring KestravaFixture::Text(const LocalMoment &moment)
{
    wchar_t text[32];
    swprintf(text, 32, L"%02i.%02i.%04i %02i:%02i:%02i", moment.day, moment.month, moment.year, moment.hour,
             moment.minute, moment.second);
    return text;
}
