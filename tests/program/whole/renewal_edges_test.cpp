// kestrava.exe renewing certificates that other programs' tests do not meet:
// identifiers with zero bytes, one organisation renewed twice in a row, and a
// renewal server that accepts and then says nothing.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "kestrava_fixture.h"
#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

using Kestrava = KestravaFixture;

namespace {

std::string Testca(const std::string &arguments)
{
    std::string output;
    RunUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " " + arguments, &output);
    return output;
}

void Pay(const std::string &caDir, const std::string &serial)
{
    Testca("pay " + ShellQuote(caDir) + " " + serial);
}

// The serial of the certificate issued against the payment of serial.
std::string IssuedFor(const std::string &caDir, const std::string &serial)
{
    std::string line = Testca("ledger " + ShellQuote(caDir) + " " + serial);
    size_t used = line.find(" used ");
    if (used == std::string::npos)
        return "";
    std::string issued = line.substr(used + 6);
    return issued.substr(0, issued.find_first_of("\r\n"));
}

std::vector<TokenObject> WithId(const std::string &idHex)
{
    std::vector<TokenObject> found;
    for (const TokenObject &object : ListTokenObjects(0))
        if (object.idHex == idHex)
            found.push_back(object);
    return found;
}

}  // namespace

class KestravaRenewal : public KestravaFixture {
protected:
    // Chooses the token's only certificate, renews it with the PIN and
    // returns the identifier (hex) of the new objects.
    std::string RenewTheCertificate(HWND dialog)
    {
        if (!Choose(dialog, 0) || !RenewEnabled(dialog)) {
            ADD_FAILURE() << "the certificate could not be chosen";
            return "";
        }
        std::vector<TokenObject> before = ListTokenObjects(0);
        HWND pin = RenewAndConfirm(dialog);
        if (!pin || !SetControlText(pin, IDC_PIN, Widen(holderPin).c_str())) {
            ADD_FAILURE() << "no PIN dialog";
            return "";
        }
        ClickButton(pin, IDOK);
        HWND done = WaitForBox(L"Новый сертификат", 60000);
        if (!done) {
            HWND error = WaitForBox(L"Ошибка", 1000);
            ADD_FAILURE() << "not renewed: " << (error ? Narrow(MessageBoxText(error)) : std::string("no box"));
            return "";
        }
        EXPECT_EQ(L"Сертификат был успешно обновлен.", MessageBoxText(done));
        ClickButton(done, IDOK);
        WaitForWindowGone(done);
        for (int waited = 0; RenewEnabled(dialog) && waited < 10000; waited += 100)
            Sleep(100);
        for (const TokenObject &object : ListTokenObjects(0)) {
            bool known = false;
            for (const TokenObject &old : before)
                known |= old.idHex == object.idHex;
            if (!known)
                return object.idHex;
        }
        ADD_FAILURE() << "no new objects";
        return "";
    }

    // The old identifier's objects are gone, the new identifier carries the
    // certificate and its key pair, and the other identifier's key pair stays.
    void ExpectReplaced(const std::string &oldIdHex, const std::string &newIdHex, const std::string &keptIdHex)
    {
        EXPECT_TRUE(WithId(oldIdHex).empty());
        std::vector<TokenObject> renewed = WithId(newIdHex);
        ASSERT_EQ(3u, renewed.size());
        int certificates = 0;
        for (const TokenObject &object : renewed)
            certificates += object.objectClass == "certificate" && object.label == "EGAIS";
        EXPECT_EQ(1, certificates);
        EXPECT_EQ(2u, WithId(keptIdHex).size());
        EXPECT_EQ(5u, ListTokenObjects(0).size());
    }
};

// The identifier is used with the length the token gave, zero bytes and
// all: a key pair whose identifier is the part before the zero byte belongs
// to something else and stays.
TEST_F(KestravaRenewal, RenewsACertificateWhoseIdentifierHoldsAZeroByte)
{
    const std::string id = ToHexText(std::string("KE\0STRAVA", 9));
    const std::string prefix = ToHexText("KE");
    std::string serial = MakeHolderToken(0, id, Utc(MonthsFromNow(1, 10, 10)));
    Tool({"keygen", "0", "--id", prefix});
    Pay(caDir, serial);
    StartServer();
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);

    std::string newId = RenewTheCertificate(dialog);
    ASSERT_FALSE(newId.empty());
    ExpectReplaced(id, newId, prefix);
}

// An organisation's 10-digit INN leaves two zero bytes at the end of the
// identifier this program gives; the certificate renewed with it is renewed
// again (the server issues it due at once), and again the old objects go.
TEST_F(KestravaRenewal, RenewsAnOrganisationTwiceInARow)
{
    holderInn = "7712345678";
    const std::string prefix = ToHexText("20251106093000-7712345678");
    std::string id = prefix + "0000";
    std::string serial = MakeHolderToken(0, id, Utc(MonthsFromNow(1, 10, 10)));
    Tool({"keygen", "0", "--id", prefix});
    Pay(caDir, serial);
    StartServer("--not-after +20d");
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("renewal " + std::to_string(round));
        std::string newId = RenewTheCertificate(dialog);
        ASSERT_FALSE(newId.empty());
        std::string bytes = FromHexText(newId);
        ASSERT_EQ(27u, bytes.size());
        EXPECT_EQ(std::string("-7712345678\0\0", 13), bytes.substr(14));
        ExpectReplaced(id, newId, prefix);
        serial = IssuedFor(caDir, serial);
        ASSERT_FALSE(serial.empty());
        Pay(caDir, serial);
        id = newId;
    }
}

// A server that takes the certificate request and then says nothing: the
// renewal ends after the program's silence limit (a minute) with the one box
// that the new pair stays, the old objects as they were, and
// the program can be ended. Windows may end the session while the PIN
// dialog waits, not while the exchange holds the renewal.
TEST_F(KestravaRenewal, ASilentServerEndsTheRenewalAndExitWorksAfterwards)
{
    std::string serial = MakeHolderToken(0, "a1", Utc(MonthsFromNow(1, 10, 10)));
    Pay(caDir, serial);
    StartServer("--fault slow:90:cert");
    HWND dialog = StartKestrava();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(Choose(dialog, 0));
    std::vector<TokenObject> before = ListTokenObjects(0);
    HWND mainWindow = FindWindowW(L"ZR51_KESTRAVA", L"Kestrava");
    ASSERT_TRUE(mainWindow);
    auto queryEndSession = [mainWindow] {
        DWORD_PTR answer = 99;
        SendMessageTimeoutW(mainWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
        return answer;
    };
    HWND pin = RenewAndConfirm(dialog);
    ASSERT_TRUE(pin);
    EXPECT_EQ((DWORD_PTR)TRUE, queryEndSession());
    ASSERT_TRUE(SetControlText(pin, IDC_PIN, Widen(holderPin).c_str()));
    ClickButton(pin, IDOK);
    HWND progress = WaitForBox(L"Продление сертификата");
    ASSERT_TRUE(progress);
    // The certificate request is with the server once the CA has journalled
    // the payment exchange and the bar stands at 10.
    for (int waited = 0; SendMessageW(GetDlgItem(progress, IDC_RENEWAL_PROGRESS), PBM_GETPOS, 0, 0) < 10 &&
                         waited < 30000;
         waited += 100)
        Sleep(100);
    EXPECT_EQ((DWORD_PTR)FALSE, queryEndSession());

    HWND kept = WaitForBox(L"Внимание", 80000);
    ASSERT_TRUE(kept) << "the renewal did not end";
    EXPECT_EQ(0u, MessageBoxText(kept).find(L"Удостоверяющий центр мог выпустить новый сертификат"));
    EXPECT_EQ((DWORD_PTR)TRUE, queryEndSession());
    ClickButton(kept, IDOK);
    ASSERT_TRUE(WaitForWindowGone(progress));
    EXPECT_TRUE(RenewEnabled(dialog)) << "not renewed: the choice stays";
    std::vector<TokenObject> after = ListTokenObjects(0);
    ASSERT_EQ(before.size() + 2, after.size()) << "the new pair beside the old objects";
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(before[i].handle, after[i].handle);

    ASSERT_NO_FATAL_FAILURE(ExitThroughMenu());
    EXPECT_TRUE(SessionsLeftOpen(store.journal).empty());
}
