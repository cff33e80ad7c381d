// "Записать сертификат из файла..." in the real kestrava.exe: the holder
// writes the certificate of a key pair that a renewal left on the token,
// from a DER or PEM file, through the notification-area menu; and every way
// that ends without writing.
#include "program/whole/kestrava_fixture.h"

#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"

namespace {

// The pair a renewal keeps: the identifier it gives a holder with a 10-digit
// INN, 27 bytes with two zero bytes at the end.
const std::string keptIdHex = ToHexText("20261208101500-7712345678") + "0000";
const std::string holderIdHex = "41310b";

enum FileKind { IssuedDer, IssuedPem, NotACertificate, OtherKey };

struct Row {
    const char *name;
    FileKind file;
    bool publicValueDer;  // the token gives public keys as a DER OCTET STRING
    bool alreadyStored;
    bool cancelPin;
    const wchar_t *caption;  // the one box; null: none
    const wchar_t *text;
};

const wchar_t busy[] = L"Программа сейчас работает с ключевым носителем.\n"
                      L"Дождитесь окончания операции и повторите команду.";
const wchar_t writtenCaption[] = L"Новый сертификат";
const wchar_t written[] = L"Сертификат записан на носитель.";

const Row rows[] = {
    {"DER file", IssuedDer, false, false, false, writtenCaption, written},
    {"PEM file, public keys as DER", IssuedPem, true, false, false, writtenCaption, written},
    {"not a certificate", NotACertificate, false, false, false, L"Ошибка", L"Файл не содержит сертификата."},
    {"no matching key", OtherKey, false, false, false, L"Ошибка",
     L"На подключённых носителях нет ключевой пары для этого сертификата."},
    {"already stored", IssuedDer, false, true, false, L"Внимание", L"Этот сертификат уже записан на носитель."},
    {"PIN cancelled", IssuedDer, false, false, true, nullptr, nullptr},
};

class WriteCertificate : public KestravaFixture {
protected:
    std::string Journal()
    {
        std::string text;
        ReadFileBytes(store.journal, text);
        return text;
    }

    // Reads the box once it is made, and answers it.
    void ExpectOneBox(const wchar_t *caption, const std::wstring &expected)
    {
        HWND box = WaitForBox(caption);
        ASSERT_NE(nullptr, box) << Narrow(expected);
        std::wstring shownCaption, text;
        for (int waited = 0; !ReadMadeBox(box, shownCaption, text) && waited < 5000; waited += 50)
            Sleep(50);
        EXPECT_EQ(expected, text);
        ClickButton(box, IDOK);
        ASSERT_TRUE(WaitForWindowGone(box));
    }

    // The visible dialogs and boxes of the program (the renewal dialog among them).
    size_t OpenDialogs()
    {
        size_t open = 0;
        for (HWND window : TopLevelWindows(program.processId, L"#32770"))
            open += IsWindowVisible(window) ? 1 : 0;
        return open;
    }

    // Chooses the file in the open-file dialog as a user types its name.
    void OpenInFileDialog(const std::string &file)
    {
        HWND dialog = WaitForBox(L"Файл сертификата");
        ASSERT_NE(nullptr, dialog) << "no open-file dialog";
        std::wstring path = WindowsPath(file);
        // The file name box of the explorer-style dialog, or of the old one.
        ASSERT_TRUE(SetControlText(dialog, 0x47c, path.c_str()) || SetControlText(dialog, 0x480, path.c_str()));
        ASSERT_TRUE(ClickButton(dialog, IDOK));
        ASSERT_TRUE(WaitForWindowGone(dialog, 10000));
    }
};

TEST_F(WriteCertificate, FromTheTrayMenuBesideItsKeyPairOrNotAtAll)
{
    // The holder's token: the current certificate and the pair a renewal kept.
    MakeHolderToken(0, holderIdHex, "+300d");
    Tool({"keygen", "0", "--id", keptIdHex});
    Tool({"csr", "0", "--id", keptIdHex, "--out", work + "/kept.csr", "--subject", "2.5.4.3=x"});
    const std::vector<std::string> subject = {"C=RU", "CN=Иванов Иван Иванович"};
    ASSERT_FALSE(MintCertificate(caDir, work + "/issued.der", subject, "--csr " + ShellQuote(work + "/kept.csr")).empty());
    ASSERT_FALSE(MintCertificate(caDir, work + "/other.der", subject, "--key-out " + ShellQuote(work + "/other.key")).empty());
    ASSERT_EQ(0, RunUnix("cd " + ShellQuote(work) + " && { echo '-----BEGIN CERTIFICATE-----'; base64 -w 64 issued.der; "
                         "echo '-----END CERTIFICATE-----'; } > issued.pem"));
    ASSERT_TRUE(WriteFileBytes(work + "/notes.cer", "not a certificate\n"));
    const std::map<FileKind, std::string> files = {
        {IssuedDer, work + "/issued.der"}, {IssuedPem, work + "/issued.pem"},
        {NotACertificate, work + "/notes.cer"}, {OtherKey, work + "/other.der"}};
    std::string issued, tokenFile;
    ASSERT_TRUE(ReadFileBytes(work + "/issued.der", issued));
    ASSERT_TRUE(ReadFileBytes(store.dir + "/slot-0.json", tokenFile));

    HWND renewal = StartKestrava();
    ASSERT_NE(nullptr, renewal);

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        // Each row starts from the same token; the program reads it anew.
        ASSERT_TRUE(WriteFileBytes(store.dir + "/slot-0.json", tokenFile));
        if (row.alreadyStored)
            Tool({"import-cert", "0", "--id", keptIdHex, "--label", "EGAIS", "--file", work + "/issued.der"});
        if (row.publicValueDer)
            Tool({"fault", "0", "public-value-der"});
        std::vector<TokenObject> before = ListTokenObjects(0);
        size_t journalBefore = Journal().size();

        ASSERT_TRUE(ChooseTrayMenuItem(0, 1));
        ASSERT_NO_FATAL_FAILURE(OpenInFileDialog(files.at(row.file)));
        size_t journalAtPin = 0;
        if (row.cancelPin || row.caption == writtenCaption) {
            HWND pin = WaitForBox(L"PIN-код ГОСТ");
            ASSERT_NE(nullptr, pin);
            journalAtPin = Journal().size();
            if (row.cancelPin) {
                // The writing holds the token until it ends: no search meanwhile.
                ASSERT_TRUE(ClickButton(renewal, IDC_CHOOSE));
                ASSERT_NO_FATAL_FAILURE(ExpectOneBox(L"Внимание", busy));
            }
            if (!row.cancelPin) {
                ASSERT_TRUE(SetControlText(pin, IDC_PIN, Widen(holderPin).c_str()));
            }
            ASSERT_TRUE(ClickButton(pin, row.cancelPin ? IDCANCEL : IDOK));
        }
        if (row.caption) {
            ASSERT_NO_FATAL_FAILURE(ExpectOneBox(row.caption, row.text));
        }
        HWND progress = WaitForBox(L"Запись сертификата", 500);
        EXPECT_TRUE(progress == nullptr || WaitForWindowGone(progress, 10000));
        Sleep(500);
        EXPECT_EQ(1u, OpenDialogs()) << "a box besides the one expected";

        std::vector<TokenObject> after = ListTokenObjects(0);
        size_t added = row.caption == writtenCaption ? 1 : 0;
        ASSERT_EQ(before.size() + added, after.size());
        for (size_t i = 0; i < before.size(); ++i)
            EXPECT_EQ(before[i].handle, after[i].handle) << "nothing is removed";
        if (added) {
            const TokenObject &certificate = after.back();
            EXPECT_EQ("certificate", certificate.objectClass);
            EXPECT_EQ("EGAIS", certificate.label);
            EXPECT_EQ(keptIdHex, certificate.idHex);
            std::string value;
            Tool({"dump", "0", std::to_string(certificate.handle), "--out", work + "/written.der"});
            ASSERT_TRUE(ReadFileBytes(work + "/written.der", value));
            EXPECT_TRUE(value == issued) << "the certificate's DER bytes";
        }
        if (row.cancelPin) {
            EXPECT_EQ(journalAtPin, Journal().size()) << "a token call after the PIN was cancelled";
        }
        if (row.file == NotACertificate) {
            EXPECT_EQ(journalBefore, Journal().size()) << "a token call for a file without a certificate";
        }
        EXPECT_TRUE(SessionsLeftOpen(store.journal).empty());
    }
    ExitThroughMenu();
}

}  // namespace
