// The texts that a token library status shows to the user.
#include <gtest/gtest.h>

#include "support/unix_command.h"
#include "support/window_driver.h"
#include "token/token_status.h"

#include <map>
#include <regex>
#include <string>
#include <thread>

namespace {

// The Russian texts as the user reads them; the table holds them in code
// page 1251.
std::string Cp1251(const wchar_t *text)
{
    char narrow[256] = "";
    WideCharToMultiByte(1251, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

// The status names of the PKCS#11 header the program is built with, read
// from its text: "#define CKR_NAME (value)", value decimal or hexadecimal.
std::map<CK_RV, std::string> HeaderStatusNames()
{
    std::string header;
    ReadFileBytes(PKCS11_HEADER, header);
    std::map<CK_RV, std::string> names;
    std::regex define("#define[ \\t]+(CKR_[A-Z0-9_]+)[ \\t]+\\((0x[0-9a-fA-F]+|[0-9]+)UL\\)");
    for (std::sregex_iterator it(header.begin(), header.end(), define), end; it != end; ++it)
        names.emplace((CK_RV)std::stoul((*it)[2].str(), nullptr, 0), (*it)[1].str());
    return names;
}

TEST(TokenStatusText, NamesEachStatusAsTheHeaderDoesAndFindsEveryEntry)
{
    std::map<CK_RV, std::string> names = HeaderStatusNames();
    ASSERT_LT(80u, names.size()) << "could not read " << PKCS11_HEADER;
    int shown = 0;
    for (CK_RV rv = 0; rv < 0x1000; ++rv) {
        std::string text = TokenStatusText(rv);
        if (text == "Unknown function")
            continue;
        ++shown;
        if (rv == 0xA0 || rv == 0xA1 || rv == 0xA4)
            continue;  // shown in Russian, below
        ASSERT_EQ(1u, names.count(rv)) << "not a standard status: " << std::hex << rv;
        EXPECT_EQ(names[rv], text);
    }
    // The table is searched by halves: an entry out of order would be lost.
    EXPECT_EQ(82, shown);
}

TEST(TokenStatusText, ShowsThreePinStatusesInRussian)
{
    EXPECT_EQ(Cp1251(L"Неверный PIN-код"), TokenStatusText(0xA0));
    EXPECT_EQ(Cp1251(L"Недействительный PIN-код"), TokenStatusText(0xA1));
    EXPECT_EQ(Cp1251(L"PIN-код заблокирован"), TokenStatusText(0xA4));
    // The other two PIN statuses keep their names.
    EXPECT_STREQ("CKR_PIN_LEN_RANGE", TokenStatusText(0xA2));
    EXPECT_STREQ("CKR_PIN_EXPIRED", TokenStatusText(0xA3));
}

TEST(TokenStatusText, CallsEverythingElseAnUnknownFunction)
{
    EXPECT_STREQ("Unknown function", TokenStatusText(CKR_OK));
    EXPECT_STREQ("Unknown function", TokenStatusText(0x04));   // between listed values
    EXPECT_STREQ("Unknown function", TokenStatusText(0x130));  // CKR_DOMAIN_PARAMS_INVALID, left out
    EXPECT_STREQ("Unknown function", TokenStatusText(0x200));  // CKR_FUNCTION_REJECTED, left out
    EXPECT_STREQ("Unknown function", TokenStatusText(0x1A2));  // past the last entry
    EXPECT_STREQ("Unknown function", TokenStatusText(0x80000000UL));  // vendor-defined
    EXPECT_STREQ("Unknown function", TokenStatusText(0x800000A0UL));  // a vendor value over a PIN status
    EXPECT_STREQ("Unknown function", TokenStatusText(0xFFFFFFFFUL));
}

TEST(ShowTokenError, ShowsOnlyTheTextInAnErrorBoxCaptionedByTheCaller)
{
    int result = 0;
    std::string caption = Cp1251(L"Ошибка при подписании запроса на оплату");
    std::thread caller([&] { result = ShowTokenError(caption.c_str(), 0xA0, nullptr); });
    HWND box = WaitForWindow(L"Ошибка при подписании запроса на оплату", L"#32770", 10000, GetCurrentProcessId());
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"Неверный PIN-код", MessageBoxText(box));
    EXPECT_NE(nullptr, GetDlgItem(box, IDOK));
    EXPECT_EQ(nullptr, GetDlgItem(box, IDCANCEL));
    EXPECT_TRUE(ClickButton(box, IDOK));
    caller.join();
    EXPECT_EQ(IDOK, result);
}

}  // namespace
