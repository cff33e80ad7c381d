#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "program/renewal/renewal_fixture.h"

#include <future>
#include <sstream>

#include "cert/cert_record.h"
#include "renewal/renewal_procedure.h"
#include "renewal/server_exchange.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "support/server_port.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"
#include "token/pin_dialog.h"
#include "token/token_library.h"

const std::string RenewalTest::oldId = "20251106093000-007712345678";
const char *const RenewalTest::pin = "1234";

namespace {

// What the program's start-up does before any renewal: sockets and the
// common controls (the progress bar).
class ProgramStartup : public ::testing::Environment {
public:
    void SetUp() override
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        appInstance = GetModuleHandleW(nullptr);
    }
};
::testing::Environment *const startup = ::testing::AddGlobalTestEnvironment(new ProgramStartup);

std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \r\n\t");
    size_t last = text.find_last_not_of(" \r\n\t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// The holder: an organisation's director with the usual Russian attributes.
const char holderRdns[] =
    " --rdn 'C=RU' --rdn 'ST=77 Москва' --rdn 'L=Москва' --rdn 'O=ООО \"Ромашка\"'"
    " --rdn 'CN=ООО \"Ромашка\"' --rdn 'SN=Иванов' --rdn 'GN=Иван Иванович'"
    " --rdn 'INN=NUMERIC:007712345678' --rdn 'OGRN=NUMERIC:1027700132195'"
    " --rdn 'SNILS=NUMERIC:11223344595'";

}  // namespace

void RenewalTest::SetUp()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = FreshWorkDir(std::string("renewal-") + info->name());
    caDir = dir + "/ca";
    tokenJournal = UseFreshTokenStore(dir).journal;
    certList.clear();
    selectedIndex = -1;
    memset(pinBuffer, 0, sizeof pinBuffer);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
}

void RenewalTest::TearDown()
{
    StopServer();
    if (portHolder)
        ReleaseServerPort(portHolder);
    portHolder = 0;
    serverSilenceLimitMs = SERVER_SILENCE_LIMIT_MS;
    onBox = nullptr;
    whileRenewing = nullptr;
    C_Finalize(nullptr);
    // Whatever happened, the holder keeps a working certificate.
    if (!oldSerial.empty())
        ExpectWorkingCertificate();
    certList.clear();
    selectedIndex = -1;
    ForgetTokenStore();
}

std::string RenewalTest::Tool(const std::vector<std::string> &args)
{
    std::string output;
    int code = RunSoftToken(args, &output);
    EXPECT_EQ(0, code) << "softtoken " << args[0] << ": " << output;
    return output;
}

std::string RenewalTest::Ca(const std::string &arguments)
{
    std::string testca = TestEnv("KESTRAVA_TESTCA");
    std::string output;
    int code = RunUnix(ShellQuote(testca) + " " + arguments + " 2>" + ShellQuote(dir + "/testca.err"), &output);
    std::string errors;
    ReadFileBytes(dir + "/testca.err", errors);
    EXPECT_EQ(0, code) << "testca " << arguments << ": " << output << errors;
    return Trim(output);
}

void RenewalTest::MakeHolder(bool paid, int pinTries)
{
    std::string id = ToHexText(oldId);
    Tool({"init", "0", "--pin", pin, "--tries", std::to_string(pinTries)});
    Tool({"keygen", "0", "--id", id});
    Tool({"csr", "0", "--id", id, "--out", dir + "/old.csr", "--subject", "2.5.4.3=holder"});
    Ca("init " + ShellQuote(caDir));
    oldSerial = Ca("mint " + ShellQuote(caDir) + " --out " + ShellQuote(dir + "/old.der") + " --csr " +
                   ShellQuote(dir + "/old.csr") + " --not-before -340d --not-after +25d" + holderRdns);
    ASSERT_FALSE(oldSerial.empty());
    Tool({"import-cert", "0", "--id", id, "--label", "Old certificate", "--file", dir + "/old.der"});
    if (paid)
        Ca("pay " + ShellQuote(caDir) + " " + oldSerial);
    ASSERT_TRUE(ReadFileBytes(dir + "/old.der", oldCertificate));
    before = Objects();
    ASSERT_EQ(3u, before.size());
}

void RenewalTest::ChooseCertificate(const std::string &id)
{
    std::string value = oldCertificate;
    for (const auto &object : Objects())
        if (object.objectClass == "certificate" && object.idHex == ToHexText(id)) {
            Tool({"dump", "0", std::to_string(object.handle), "--out", dir + "/chosen.der"});
            ReadFileBytes(dir + "/chosen.der", value);
            break;
        }
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                          (const BYTE *)value.data(), (DWORD)value.size());
    ASSERT_NE(nullptr, context);
    unsigned char ckaID[256] = {};
    CK_ULONG length = (CK_ULONG)std::min<size_t>(id.size(), sizeof ckaID);
    memcpy(ckaID, id.data(), length);
    certList.clear();
    certList.add(CertRecord(context, 0, ckaID, length));
    CertFreeCertificateContext(context);
    selectedIndex = 0;
}

// Starts testca serve with the command; its pid once it listens, else 0.
static int StartServing(const std::string &command, const std::string &logPrefix)
{
    // Other test programs on this machine may hold the port for a while.
    for (int attempt = 0; attempt < 60; ++attempt) {
        std::string log = logPrefix + "-" + std::to_string(attempt) + ".log";
        int pid = StartUnix("exec " + command, log);
        if (!pid)
            return 0;
        std::string text;
        for (int waited = 0; waited < 100; ++waited) {
            ReadFileBytes(log, text);
            if (text.find("listening on") != std::string::npos)
                return pid;
            if (text.find("testca:") != std::string::npos)
                break;  // it said why it could not listen
            Sleep(100);
        }
        StopUnix(pid);
        Sleep(2000);
    }
    return 0;
}

void RenewalTest::StartSecondServer(const std::string &folder)
{
    secondServerPid = StartServing(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " serve " + ShellQuote(folder) +
                                       " --port 0",
                                   dir + "/second-serve");
    ASSERT_NE(0, secondServerPid) << "the second testca serve did not start";
}

void RenewalTest::StartServer(const std::vector<std::string> &faults, const std::string &options)
{
    std::string command = ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " serve " + ShellQuote(caDir) + " --port 2000";
    for (const auto &fault : faults)
        command += " --fault " + fault;
    command += " " + options;
    serverPid = StartServing(command, dir + "/serve");
    if (!serverPid)
        FAIL() << "testca serve did not start on port 2000";
}

void RenewalTest::StopServer()
{
    if (serverPid)
        StopUnix(serverPid);
    serverPid = 0;
    if (secondServerPid)
        StopUnix(secondServerPid);
    secondServerPid = 0;
}

static int BarPosition(HWND bar)
{
    DWORD_PTR position = 0;
    if (!bar || !SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position))
        return -1;
    return (int)position;
}

struct DialogSearch {
    HWND exclude;
    std::vector<HWND> found;
};

static BOOL CALLBACK CollectDialog(HWND window, LPARAM parameter)
{
    DialogSearch *search = (DialogSearch *)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[32] = L"";
    GetClassNameW(window, className, 32);
    if (processId == GetCurrentProcessId() && window != search->exclude && IsWindowVisible(window) &&
        wcscmp(className, L"#32770") == 0)
        search->found.push_back(window);
    return TRUE;
}

RenewalOutcome RenewalTest::Renew(bool cancel, const wchar_t *pinText)
{
    RenewalOutcome outcome;
    auto dialog = std::async(std::launch::async, [] {
        return DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_RENEWAL_PROGRESS), nullptr,
                               RenewalProgressDialogProc, 0);
    });
    HWND progressDialog = WaitForWindow(L"Продление сертификата", L"#32770", 20000, GetCurrentProcessId());
    HWND bar = progressDialog ? GetDlgItem(progressDialog, IDC_RENEWAL_PROGRESS) : nullptr;
    EXPECT_NE(nullptr, bar) << "no renewal progress dialog";

    DWORD deadline = GetTickCount() + 180000;
    while (dialog.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if ((LONG)(GetTickCount() - deadline) > 0)
            break;
        if (bar) {
            // The worker sets the range once the PIN is in; read it anew.
            DWORD_PTR high = 0;
            if (SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 2000, &high) && high > 0)
                outcome.progressMax = (int)high;
        }
        if (whileRenewing)
            whileRenewing();
        if (outcome.progressMax > 0 && !outcome.fullBarAt && BarPosition(bar) == outcome.progressMax)
            outcome.fullBarAt = GetTickCount();
        // Nothing reads the PIN after the login (step 2 of the bar).
        if (BarPosition(bar) >= 2)
            for (char c : pinBuffer)
                outcome.pinAfterLogin |= c != 0;

        DialogSearch search = {progressDialog, {}};
        EnumWindows(CollectDialog, (LPARAM)&search);
        for (HWND window : search.found) {
            std::wstring caption = WindowText(window);
            if (caption == L"PIN-код ГОСТ") {
                outcome.pinAsked = true;
                if (!screenshots.empty())
                    SaveScreenshot(screenshots + "-pin");
                if (cancel) {
                    ClickButton(window, IDCANCEL);
                } else {
                    SetControlText(window, IDC_PIN, pinText);
                    outcome.pinAnsweredAt = GetTickCount();
                    ClickButton(window, IDOK);
                }
            } else {
                ShownBox box;
                if (!ReadMadeBox(window, box.caption, box.text))
                    continue;
                box.owner = GetWindow(window, GW_OWNER);
                box.ownedByProgress = progressDialog && box.owner == progressDialog;
                box.progress = BarPosition(bar);
                box.noByDefault =
                    (GetWindowLongW(GetDlgItem(window, IDNO), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
                outcome.boxes.push_back(box);
                outcome.lastBoxAt = GetTickCount();
                if (!screenshots.empty())
                    SaveScreenshot(screenshots + "-box-" + std::to_string(outcome.boxes.size()));
                if (onBox)
                    onBox(box);
                ClickButton(window, GetDlgItem(window, IDYES) ? answer : IDOK);
            }
            WaitForWindowGone(window, 10000);
        }
    }
    outcome.ended = dialog.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    if (!outcome.ended) {
        // Leave nothing behind that would hang the next case.
        for (int i = 0; i < 200 && dialog.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready; ++i) {
            DialogSearch search = {nullptr, {}};
            EnumWindows(CollectDialog, (LPARAM)&search);
            for (HWND window : search.found)
                if (window != progressDialog)
                    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        }
        ADD_FAILURE() << "the renewal did not end";
        return outcome;
    }
    outcome.result = dialog.get();
    return outcome;
}

void RenewalTest::ExpectOneError(const RenewalOutcome &outcome, const std::wstring &caption, const std::wstring &text,
                                 int progress, bool ownedByProgress)
{
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(0, outcome.result);
    ASSERT_EQ(1u, outcome.boxes.size()) << "boxes shown: " << outcome.boxes.size()
                                        << (outcome.boxes.empty() ? "" : ", the first captioned ")
                                        << (outcome.boxes.empty() ? std::string() : UnixPath(outcome.boxes[0].caption));
    EXPECT_EQ(caption, outcome.boxes[0].caption);
    EXPECT_EQ(text, outcome.boxes[0].text);
    EXPECT_EQ(progress, outcome.boxes[0].progress);
    if (ownedByProgress)
        EXPECT_TRUE(outcome.boxes[0].ownedByProgress);
    else
        EXPECT_EQ(nullptr, outcome.boxes[0].owner);
}

std::vector<TokenObject> RenewalTest::Objects()
{
    return ListTokenObjects(0);
}

std::vector<TokenObject> RenewalTest::WithId(const std::string &idHex)
{
    std::vector<TokenObject> found;
    for (const auto &object : Objects())
        if (object.idHex == idHex)
            found.push_back(object);
    return found;
}

std::vector<TokenObject> RenewalTest::NewObjects()
{
    std::vector<TokenObject> found;
    for (const auto &object : Objects())
        if (object.idHex != ToHexText(oldId))
            found.push_back(object);
    return found;
}

void RenewalTest::ExpectWorkingCertificate()
{
    int working = 0;
    std::vector<TokenObject> objects = Objects();
    for (const auto &certificate : objects) {
        if (certificate.objectClass != "certificate")
            continue;
        bool hasPrivateKey = false;
        for (const auto &object : objects)
            hasPrivateKey |= object.objectClass == "private-key" && object.idHex == certificate.idHex;
        std::string der = dir + "/check-" + std::to_string(certificate.handle) + ".der";
        std::string tokenKey = dir + "/check-" + std::to_string(certificate.handle) + ".pub";
        if (!hasPrivateKey || RunSoftToken({"dump", "0", std::to_string(certificate.handle), "--out", der}) != 0 ||
            RunSoftToken({"export-pubkey", "0", "--id", certificate.idHex, "--out", tokenKey}) != 0)
            continue;
        // The certificate's key as openssl reads it: the last 64 bytes of its
        // SubjectPublicKeyInfo are X and Y as the token stores them.
        std::string certificateKey;
        if (RunUnix("openssl x509 -engine gost -inform DER -in " + ShellQuote(der) +
                        " -noout -pubkey 2>/dev/null | openssl pkey -engine gost -pubin -outform DER 2>/dev/null"
                        " | tail -c 64",
                    &certificateKey) != 0)
            continue;
        std::string key;
        ReadFileBytes(tokenKey, key);
        if (key.size() == 64 && certificateKey == key)
            ++working;
    }
    EXPECT_GE(working, 1) << "no certificate with its key pair is left on the token";
}

std::vector<std::string> RenewalTest::TokenJournal()
{
    std::string text;
    ReadFileBytes(tokenJournal, text);
    return Lines(text);
}

std::vector<std::string> RenewalTest::CaJournal()
{
    // Port 2000 is shared by every test program on this machine, so others'
    // requests may reach this server too; they fail its CA check.
    std::string text;
    ReadFileBytes(caDir + "/journal.log", text);
    std::vector<std::string> ours;
    for (const auto &line : Lines(text))
        if (line.find("\tchecks=passed") != std::string::npos)
            ours.push_back(line);
    return ours;
}

bool RenewalTest::JournalHas(const std::string &function)
{
    for (const auto &line : TokenJournal())
        if (line.compare(0, function.size() + 1, function + " ") == 0)
            return true;
    return false;
}
