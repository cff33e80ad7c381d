// The version resource of the built kestrava.exe, read back as Windows reads
// it for the file's properties and for the installer.
#include <gtest/gtest.h>

#include "support/unix_command.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::wstring exe = WindowsPath(TestEnv("KESTRAVA_BIN")) + L"\\kestrava.exe";
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        ASSERT_NE(0u, size) << "kestrava.exe has no version resource";
        block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    }

    // A value of the Russian (1049) UTF-16 (1200) string table; "(none)"
    // when there is no such value.
    std::wstring Value(const wchar_t *name)
    {
        std::wstring path = std::wstring(L"\\StringFileInfo\\041904b0\\") + name;
        wchar_t *text = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), path.c_str(), (void **)&text, &length) || !text)
            return L"(none)";
        return text;
    }

    std::vector<BYTE> block;
};

TEST_F(VersionResource, NamesTheProgramItsMakerAndItsVersionInRussian)
{
    std::wstring version = Widen(KESTRAVA_VERSION);
    struct Field {
        const wchar_t *name;
        std::wstring value;
    } const fields[] = {
            {L"ProductName", L"Kestrava"},
            {L"FileDescription", L"Продление сертификата на JaCarta ГОСТ"},
            {L"CompanyName", L"Команда Kestrava"},
            {L"LegalCopyright", L"© 2026 Команда Kestrava"},
            {L"OriginalFilename", L"kestrava.exe"},
            {L"FileVersion", version},
            {L"ProductVersion", version},
    };
    for (const Field &field : fields)
        EXPECT_EQ(field.value, Value(field.name)) << field.name;

    struct Translation {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void **)&translation, &length));
    ASSERT_EQ(sizeof *translation, length);
    EXPECT_EQ(1049, translation->language);
    EXPECT_EQ(1200, translation->codePage);
}

TEST_F(VersionResource, GivesTheSameVersionInNumbers)
{
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
    ASSERT_EQ(sizeof *fixed, length);
    EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);

    // "1.0" is 1.0.0.0.
    unsigned numbers[4] = {};
    sscanf(KESTRAVA_VERSION, "%u.%u.%u.%u", &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
    DWORD high = MAKELONG(numbers[1], numbers[0]);
    DWORD low = MAKELONG(numbers[3], numbers[2]);
    EXPECT_EQ(high, fixed->dwFileVersionMS);
    EXPECT_EQ(low, fixed->dwFileVersionLS);
    EXPECT_EQ(high, fixed->dwProductVersionMS);
    EXPECT_EQ(low, fixed->dwProductVersionLS);
}

}  // namespace
