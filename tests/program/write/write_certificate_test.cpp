// "Записать сертификат из файла..." in the real kestrava.exe: the holder
// writes the certificate of a key pair that a renewal left on the token,
// from the files centres send (DER, PEM, PKCS#7), through the
// notification-area menu; and every way that ends without writing.
#include "program/whole/kestrava_fixture.h"

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"
#include "support/user_store.h"

namespace {

// The pairs renewals keep, with the identifiers they give: a holder with a
// 10-digit INN (27 bytes, two zero bytes at the end) on a GOST 2001 key, and
// one with a 12-digit INN on a 512-bit GOST 2012 key.
const std::string keptIdHex = "32303236313230383130313530302d373731323334353637380000";
const std::string wideIdHex = "32303236313230383130313530302d303037373132333435363738";
const std::string holderIdHex = "41310b";

struct Row {
    const char *name;
    const char *file;     // in the work folder
    bool widePair;        // the certificate is the 512-bit pair's, else the 2001 pair's
    bool publicValueDer;  // the token gives public keys as a DER OCTET STRING
    bool alreadyStored;
    bool cancelPin;
    const wchar_t *caption;  // the one box; null: none
    const wchar_t *text;
    bool heldOpen = false;  // another program holds the file open for writing
    bool swappedAtPin = false;  // another token is put in the slot at the PIN dialog
    int question = 0;  // the answer to the question about a certificate the centre did not sign; 0: none asked
    bool onlyPublicKey = false;  // the token holds the certificate's public key, no private key
    bool loginWrites = false;    // a try was lost before: the login writes the token, with the PIN in hand
    // The centre changed its key since the holder's certificate: the test head
    // in the user's "Root" store, the centre's new certificate only at its URL.
    bool rekeyedCentre = false;
};

const wchar_t busy[] = L"Программа сейчас работает с ключевым носителем.\n"
                       L"Дождитесь окончания операции и повторите команду.";
const wchar_t writtenCaption[] = L"Новый сертификат";
const wchar_t written[] = L"Сертификат записан на носитель.";
const wchar_t noKeyPair[] = L"На подключённых носителях нет ключевой пары для этого сертификата.";
const wchar_t unchecked[] =
    L"Сертификат из файла не удалось проверить: он не подписан удостоверяющим центром, выдавшим текущий "
    L"сертификат, или сертификат этого центра не установлен на компьютере.\nЗаписать его на носитель?";

const Row rows[] = {
    {"DER file", "kept.der", false, false, false, false, writtenCaption, written, false, false, 0, false, true},
    {"PEM file, 512-bit pair, public keys as DER", "wide.pem", true, true, false, false, writtenCaption, written},
    {"not a certificate", "notes.cer", false, false, false, false, L"Ошибка", L"Файл не содержит сертификата."},
    {"no matching key", "other.der", false, false, false, false, L"Ошибка",
     L"На подключённых носителях нет ключевой пары для этого сертификата."},
    {"already stored", "kept.der", false, false, true, false, L"Внимание",
     L"Этот сертификат уже записан на носитель."},
    {"PIN cancelled", "kept.der", false, false, false, true, nullptr, nullptr},
    {"PEM file, the centre's certificate first", "chain.pem", false, false, false, false, writtenCaption, written},
    {"PKCS#7 bundle, 512-bit pair given bare", "wide.p7b", true, false, false, false, writtenCaption, written},
    {"DER file held open for writing", "kept.der", false, false, false, false, writtenCaption, written, true},
    {"another token in the slot at the PIN", "kept.der", false, false, false, false, L"Ошибка", noKeyPair, false,
     true},
    {"public key without its private key", "other.der", false, false, false, false, L"Ошибка", noKeyPair, false,
     false, 0, true},
    {"PKCS#7 bundle, the holder's certificate read last", "several.p7b", false, false, false, false, writtenCaption,
     written},
    {"signed by another key under the centre's name, not written", "forged.der", false, false, false, false, nullptr,
     nullptr, false, false, IDNO},
    {"signed by another key under the centre's name, written", "forged.der", false, false, false, false,
     writtenCaption, written, false, false, IDYES},
    {"from the centre under its new key, only the head in Root", "rekeyed.der", false, false, false, false,
     writtenCaption, written, false, false, 0, false, false, true},
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

    // pinBuffer in the program's memory, where its symbol table puts it.
    std::string ProgramPinBuffer()
    {
        std::string exe = ShellQuote(TestEnv("KESTRAVA_BIN") + "/kestrava.exe"), addresses;
        RunUnix("i686-w64-mingw32-nm " + exe + " | sed -n 's/ B _pinBuffer$//p'; i686-w64-mingw32-objdump -p " +
                    exe + " | sed -n 's/^ImageBase[[:space:]]*//p'",
                &addresses);
        unsigned long symbol = 0, imageBase = 0;
        HMODULE module = nullptr;
        DWORD needed = 0;
        std::string pin(100, '\0');
        SIZE_T got = 0;
        if (sscanf(addresses.c_str(), "%lx %lx", &symbol, &imageBase) != 2 ||
            !EnumProcessModules(program.process, &module, sizeof module, &needed) ||
            !ReadProcessMemory(program.process, (BYTE *)module + (symbol - imageBase), &pin[0], pin.size(), &got))
            return "";
        return pin;
    }

    // The program's token store write stops half-way (SOFTTOKEN_WRITE_PAUSE_MS).
    bool WaitForStoreWrite()
    {
        WIN32_FIND_DATAW found;
        for (int waited = 0; waited < 15000; waited += 20) {
            HANDLE search = FindFirstFileW(WindowsPath(store.dir + "/slot-0.json.tmp-*").c_str(), &found);
            if (search != INVALID_HANDLE_VALUE) {
                FindClose(search);
                return true;
            }
            Sleep(20);
        }
        return false;
    }

    // The call has ended: the journal has its line after the offset.
    bool WaitForJournal(const std::string &function, size_t from)
    {
        for (int waited = 0; waited < 15000; waited += 20) {
            if (Journal().find(function + " ", from) != std::string::npos)
                return true;
            Sleep(20);
        }
        return false;
    }

    // The visible dialogs and boxes of the program (the renewal dialog among them).
    size_t OpenDialogs()
    {
        size_t open = 0;
        for (HWND window : TopLevelWindows(program.processId, L"#32770"))
            open += IsWindowVisible(window) ? 1 : 0;
        return open;
    }
};

TEST_F(WriteCertificate, FromTheTrayMenuBesideItsKeyPairOrNotAtAll)
{
    // Another token with the holder's token's label and PIN and a pair under
    // the same identifier: only its serial number tells it apart.
    Tool({"init", "0", "--label", "JaCarta GOST", "--serial", "OTHER00000000002", "--pin", holderPin});
    Tool({"keygen", "0", "--id", keptIdHex});
    std::string otherTokenFile;
    ASSERT_TRUE(ReadFileBytes(store.dir + "/slot-0.json", otherTokenFile));
    // The holder's token: the current certificate and the pairs renewals kept.
    MakeHolderToken(0, holderIdHex, "+300d");
    const std::vector<std::string> subject = {"C=RU", "CN=Иванов Иван Иванович"};
    for (const char *pair : {"kept", "wide"}) {
        std::string id = pair == std::string("kept") ? keptIdHex : wideIdHex;
        std::string csr = work + "/" + pair + ".csr";
        Tool({"keygen", "0", "--id", id, "--kind", pair == std::string("kept") ? "2001" : "2012-512"});
        Tool({"csr", "0", "--id", id, "--out", csr, "--subject", "2.5.4.3=x"});
        ASSERT_FALSE(MintCertificate(caDir, work + "/" + pair + ".der", subject, "--csr " + ShellQuote(csr)).empty());
    }
    ASSERT_FALSE(
        MintCertificate(caDir, work + "/other.der", subject, "--key-out " + ShellQuote(work + "/other.key")).empty());
    // The kept pair's certificate as a forger would make it: the centre's
    // name, another key's signature.
    ASSERT_TRUE(MakeTestCa(work + "/forger"));
    ASSERT_FALSE(MintCertificate(work + "/forger", work + "/forged.der", subject,
                                 "--csr " + ShellQuote(work + "/kept.csr"))
                     .empty());
    // The kept pair's certificate from the centre under a new key, which
    // only its head certified.
    std::string rekeyed = work + "/centre";
    ASSERT_EQ(0, RunUnix("cp -a " + ShellQuote(caDir) + " " + ShellQuote(rekeyed) + " && " +
                         ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " rekey " + ShellQuote(rekeyed)));
    ASSERT_FALSE(MintCertificate(rekeyed, work + "/rekeyed.der", subject, "--csr " + ShellQuote(work + "/kept.csr"))
                     .empty());
    // other.der's public key as the token keeps a public key's value (X then
    // Y), for a token that holds it without its private key.
    std::string otherDer;
    ASSERT_TRUE(ReadFileBytes(work + "/other.der", otherDer));
    PCCERT_CONTEXT otherContext =
        CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)otherDer.data(), (DWORD)otherDer.size());
    ASSERT_NE(nullptr, otherContext);
    const CRYPT_BIT_BLOB &otherKey = otherContext->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    ASSERT_EQ(66u, otherKey.cbData);
    ASSERT_TRUE(WriteFileBytes(work + "/other.pub", std::string((const char *)otherKey.pbData + 2, 64)));
    CertFreeCertificateContext(otherContext);
    // PEM files, one with the centre's certificate first, and a PKCS#7 bundle.
    std::string centre = ShellQuote(caDir + "/ca.pem");
    // A bundle of three, of which only the holder's certificate has its pair
    // on the token.
    ASSERT_EQ(0, RunUnix("cd " + ShellQuote(work) + " && for pair in kept wide other; do { echo '-----BEGIN CERTIFICATE-----';"
                         " base64 -w 64 $pair.der; echo '-----END CERTIFICATE-----'; } > $pair.pem; done && cat " +
                         centre + " kept.pem > chain.pem && openssl crl2pkcs7 -nocrl -certfile " + centre +
                         " -certfile wide.pem -outform DER -out wide.p7b && openssl crl2pkcs7 -nocrl -certfile "
                         "kept.pem -certfile other.pem -certfile " + centre + " -outform DER -out several.p7b"));
    // The holder's certificate comes out of the bundle last, as crypt32 reads
    // it: the first ones are no use.
    std::vector<std::string> bundle;
    HCERTSTORE bundleStore = nullptr;
    std::wstring bundleFile = WindowsPath(work + "/several.p7b");
    ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, bundleFile.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                 CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &bundleStore, nullptr,
                                 nullptr));
    for (PCCERT_CONTEXT each = nullptr; (each = CertEnumCertificatesInStore(bundleStore, each)) != nullptr;)
        bundle.emplace_back((const char *)each->pbCertEncoded, each->cbCertEncoded);
    CertCloseStore(bundleStore, 0);
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(work + "/kept.der", kept));
    ASSERT_EQ(3u, bundle.size());
    EXPECT_TRUE(kept == bundle.back()) << "the holder's certificate is not read last";
    ASSERT_TRUE(WriteFileBytes(work + "/notes.cer", "not a certificate\n"));
    std::string tokenFile;
    ASSERT_TRUE(ReadFileBytes(store.dir + "/slot-0.json", tokenFile));

    // Each store write of the program stops a while, for a look into it.
    SetEnvironmentVariableW(L"SOFTTOKEN_WRITE_PAUSE_MS", L"2000");
    HWND renewal = StartKestrava();
    SetEnvironmentVariableW(L"SOFTTOKEN_WRITE_PAUSE_MS", nullptr);
    ASSERT_NE(nullptr, renewal);

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string pairId = row.widePair ? wideIdHex : keptIdHex;
        std::string issued;
        ASSERT_TRUE(ReadFileBytes(work + (row.question          ? "/forged.der"
                                          : row.rekeyedCentre ? "/rekeyed.der"
                                          : row.widePair      ? "/wide.der"
                                                              : "/kept.der"),
                                  issued));
        // Each row starts from the same token; the program reads it anew.
        ASSERT_TRUE(WriteFileBytes(store.dir + "/slot-0.json", tokenFile));
        if (row.alreadyStored)
            Tool({"import-cert", "0", "--id", pairId, "--label", "EGAIS", "--file", work + "/kept.der"});
        if (row.publicValueDer)
            Tool({"fault", "0", "public-value-der"});
        if (row.onlyPublicKey)
            Tool({"add-object", "0", "--class", "2", "--id", "6f7270", "--value-file", work + "/other.pub"});
        if (row.loginWrites) {
            std::string slot;
            ASSERT_TRUE(ReadFileBytes(store.dir + "/slot-0.json", slot));
            size_t tries = slot.find("\"triesLeft\": 10");
            ASSERT_NE(std::string::npos, tries);
            slot.replace(tries, strlen("\"triesLeft\": 10"), "\"triesLeft\": 9");
            ASSERT_TRUE(WriteFileBytes(store.dir + "/slot-0.json", slot));
        }
        // Taken out of "Root" again when the row ends, however it ends.
        std::unique_ptr<UserStoreCertificate> head;
        if (row.rekeyedCentre) {
            std::string headDer;
            ASSERT_TRUE(ReadFileBytes(rekeyed + "/head/ca.der", headDer));
            head.reset(new UserStoreCertificate(L"Root", headDer));
            ASSERT_TRUE(head->installed());
            ASSERT_NO_FATAL_FAILURE(StartServer("", rekeyed));
        }
        std::vector<TokenObject> before = ListTokenObjects(0);
        size_t journalBefore = Journal().size();
        // A mail client still saving the file lets others read it, not more.
        HANDLE holder = INVALID_HANDLE_VALUE;
        if (row.heldOpen) {
            holder = CreateFileW(WindowsPath(work + "/" + row.file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, holder);
        }

        ASSERT_TRUE(ChooseTrayMenuItem(0, 1));
        HWND fileDialog = WaitForBox(L"Файл сертификата");
        ASSERT_NE(nullptr, fileDialog);
        ASSERT_TRUE(ChooseFileInDialog(fileDialog, WindowsPath(work + "/" + row.file)));
        ASSERT_TRUE(WaitForWindowGone(fileDialog));
        if (row.question) {
            HWND question = WaitForBox(L"Внимание!");
            ASSERT_NE(nullptr, question);
            std::wstring caption, text;
            for (int waited = 0; !ReadMadeBox(question, caption, text) && waited < 5000; waited += 50)
                Sleep(50);
            EXPECT_EQ(unchecked, text);
            ASSERT_TRUE(ClickButton(question, row.question));
            ASSERT_TRUE(WaitForWindowGone(question));
        }
        size_t journalAtPin = 0;
        if (row.cancelPin || row.swappedAtPin || row.onlyPublicKey || row.caption == writtenCaption) {
            HWND pin = WaitForBox(L"PIN-код ГОСТ");
            ASSERT_NE(nullptr, pin) << (WaitForBox(L"Внимание!", 0) ? "the question was asked" : "no PIN dialog");
            if (row.swappedAtPin) {
                ASSERT_TRUE(WriteFileBytes(store.dir + "/slot-0.json", otherTokenFile));
                before = ListTokenObjects(0);
            }
            journalAtPin = Journal().size();
            if (row.cancelPin) {
                // The writing holds the token until it ends: no search meanwhile.
                ASSERT_TRUE(ClickButton(renewal, IDC_CHOOSE));
                ASSERT_NO_FATAL_FAILURE(ExpectOneBox(L"Внимание", busy));
            } else {
                ASSERT_TRUE(SetControlText(pin, IDC_PIN, Widen(holderPin).c_str()));
            }
            ASSERT_TRUE(ClickButton(pin, row.cancelPin ? IDCANCEL : IDOK));
        }
        if (row.loginWrites) {
            // Held in C_Login, which writes the tries back: here pinBuffer must
            // hold the PIN, so that the read below cannot pass on a wrong address.
            ASSERT_TRUE(WaitForStoreWrite());
            EXPECT_EQ(std::string::npos, Journal().find("C_Login ", journalAtPin)) << "not held in C_Login";
            EXPECT_STREQ(holderPin, ProgramPinBuffer().c_str());
            ASSERT_TRUE(WaitForJournal("C_Login", journalAtPin));
        }
        if (row.caption == writtenCaption) {
            // Held in C_CreateObject: nothing reads the PIN after the login.
            ASSERT_TRUE(WaitForStoreWrite());
            std::string pin = ProgramPinBuffer();
            ASSERT_EQ(100u, pin.size()) << "pinBuffer of the program unreadable";
            EXPECT_EQ(std::string::npos, pin.find_first_not_of('\0')) << "pinBuffer holds " << pin.c_str();
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
            EXPECT_EQ(pairId, certificate.idHex);
            std::string value;
            Tool({"dump", "0", std::to_string(certificate.handle), "--out", work + "/written.der"});
            ASSERT_TRUE(ReadFileBytes(work + "/written.der", value));
            EXPECT_TRUE(value == issued) << "the certificate's DER bytes";
        }
        if (row.cancelPin) {
            EXPECT_EQ(journalAtPin, Journal().size()) << "a token call after the PIN was cancelled";
        }
        if (row.swappedAtPin) {
            EXPECT_EQ(std::string::npos, Journal().find("C_Login", journalAtPin)) << "the PIN tried on another token";
        }
        if (row.question == IDNO) {
            EXPECT_EQ(std::string::npos, Journal().find("C_Login", journalBefore)) << "a login after \"Нет\"";
        }
        if (row.rekeyedCentre) {
            std::string fetched;
            ReadFileBytes(rekeyed + "/http.log", fetched);
            EXPECT_NE(std::string::npos, fetched.find("status=200")) << "the centre's new certificate not fetched";
        }
        if (row.file == std::string("notes.cer")) {
            EXPECT_EQ(journalBefore, Journal().size()) << "a token call for a file without a certificate";
        }
        EXPECT_TRUE(SessionsLeftOpen(store.journal).empty());
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
    }
    ExitThroughMenu();
}

}  // namespace
