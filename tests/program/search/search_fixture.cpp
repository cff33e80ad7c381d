#include "search_fixture.h"

#include <windows.h>

#include "cert/cert_record.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "support/hosted_dialog.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"
#include "support/window_driver.h"
#include "token/search.h"
#include "token/token_library.h"

const wchar_t searchCaption[] = L"Поиск сертификатов";

std::string SearchFixture::caDir;
MintedCertificate SearchFixture::ivanov, SearchFixture::petrov, SearchFixture::sidorova, SearchFixture::large;

namespace {

MintedCertificate Mint(const std::string &caDir, const std::string &file, const std::string &surname,
                       const std::string &givenName, const std::string &options = "")
{
    std::string name = surname + " " + givenName;
    std::vector<std::string> rdns = {
        "C=RU", "O=ООО \"Ромашка\"", "CN=" + name, "SN=" + surname, "GN=" + givenName,
        "INN=NUMERIC:007712345678", "OGRN=NUMERIC:1027700132195", "SNILS=NUMERIC:11223344595",
    };
    MintedCertificate minted{caDir + "/" + file, Widen(name)};
    if (MintCertificate(caDir, minted.file, rdns, "--key-out " + ShellQuote(minted.file + ".key") + " " + options)
            .empty())
        minted.file.clear();
    return minted;
}

}  // namespace

void SearchFixture::SetUpTestSuite()
{
    if (!caDir.empty())
        return;
    std::string dir = FreshWorkDir("search-ca") + "/ca";
    if (!MakeTestCa(dir))
        return;
    ivanov = Mint(dir, "ivanov.der", "Иванов", "Иван Иванович");
    petrov = Mint(dir, "petrov.der", "Петров", "Пётр Петрович");
    sidorova = Mint(dir, "sidorova.der", "Сидорова", "Анна Сергеевна");
    // Over 4096 bytes: a long extension makes it so.
    large = Mint(dir, "large.der", "Большаков", "Борис Борисович",
                 "--ext '1.2.643.100.112=ASN1:UTF8String:" + std::string(4600, 'x') + "'");
    caDir = dir;
}

void SearchFixture::SetUp()
{
    ASSERT_FALSE(caDir.empty()) << "the test CA could not be made (KESTRAVA_TESTCA)";
    ASSERT_FALSE(ivanov.file.empty() || petrov.file.empty() || sidorova.file.empty() || large.file.empty());
    appInstance = GetModuleHandleW(nullptr);
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    work = FreshWorkDir(std::string(test->test_suite_name()) + "-" + test->name());
    store = UseFreshTokenStore(work);
}

void SearchFixture::TearDown()
{
    if (libraryStarted)
        C_Finalize(nullptr);
    libraryStarted = false;
    certList.clear();
    selectedIndex = -1;
}

void SearchFixture::Tool(const std::vector<std::string> &arguments)
{
    std::string output;
    int code = RunSoftToken(arguments, &output);
    ASSERT_EQ(0, code) << "softtoken " << arguments.front() << "\n" << output;
}

void SearchFixture::MakeToken(int slot, const std::vector<MintedCertificate> &certificates,
                              const std::vector<std::string> &ids)
{
    std::string number = std::to_string(slot);
    Tool({"init", number, "--label", "Token " + number});
    for (size_t i = 0; i < certificates.size(); ++i) {
        char id[8];
        snprintf(id, sizeof id, "%02X", (unsigned)(i + 1));
        std::string idHex = i < ids.size() ? ids[i] : id;
        Tool({"import-cert", number, "--id", idHex, "--label", "cert " + idHex, "--file", certificates[i].file});
    }
}

void SearchFixture::AddCertificateObject(int slot, const std::string &idHex, const std::string &bytes)
{
    std::string file = work + "/object-" + idHex + ".bin";
    ASSERT_TRUE(WriteFileBytes(file, bytes));
    Tool({"add-object", std::to_string(slot), "--class", "1", "--id", idHex, "--value-file", file});
}

void SearchFixture::StartLibrary()
{
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    libraryStarted = true;
}

void SearchFixture::RunSearch(std::vector<std::wstring> *statusTexts, const char *screenshot)
{
    if (!libraryStarted)
        StartLibrary();
    HostedDialog search(appInstance, IDD_SEARCH, SearchDialogProc);
    HWND dialog = WaitForWindow(searchCaption);
    ASSERT_TRUE(dialog) << "the search dialog did not open";
    bool shot = false;
    for (DWORD start = GetTickCount(); !search.WaitEnded(20) && GetTickCount() - start < 30000;) {
        std::wstring text = ControlText(dialog, IDC_SEARCH_STATUS);
        if (statusTexts && !text.empty() && (statusTexts->empty() || statusTexts->back() != text))
            statusTexts->push_back(text);
        if (screenshot && !shot && text.compare(0, 10, L"Носителей:") == 0)
            shot = SaveScreenshot(screenshot);
    }
    ASSERT_TRUE(search.WaitEnded(30000)) << "the search dialog did not end";
    EXPECT_EQ(0, search.Result());
}

void SearchFixture::ExpectNoSessionLeftOpen()
{
    std::vector<std::string> left = SessionsLeftOpen(store.journal);
    EXPECT_TRUE(left.empty()) << "open after the search: " << (left.empty() ? "" : left.front());
    EXPECT_FALSE(JournalCalls(store.journal, "C_GetSlotList").empty()) << "the journal recorded nothing";
}

std::wstring SearchFixture::RecordName(int index)
{
    return certList.get(index).subjectName;
}
