// The PIN dialog hosted from the program's resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "res/resource.h"
#include "token/pin_dialog.h"
#include "support/window_driver.h"

namespace {

// Opens the PIN dialog on a thread of its own, as the renewal worker does.
class PinDialog : public ::testing::Test {
protected:
    void Open()
    {
        result = -100;
        worker = std::thread([this] {
            result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PIN), nullptr, PinDialogProc, 0);
        });
        dialog = WaitForWindow(L"PIN-код ГОСТ");
        ASSERT_NE(nullptr, dialog);
        edit = GetDlgItem(dialog, IDC_PIN);
        ASSERT_NE(nullptr, edit);
    }
    void Type(const char *text)
    {
        for (const char *c = text; *c; ++c)
            PostMessageW(edit, WM_CHAR, (WPARAM)(unsigned char)*c, 0);
    }
    void Key(WPARAM key)
    {
        PostMessageW(edit, WM_KEYDOWN, key, 0);
        PostMessageW(edit, WM_KEYUP, key, 0);
    }
    INT_PTR Closed()
    {
        if (worker.joinable())
            worker.join();
        return result;
    }
    void TearDown() override
    {
        if (worker.joinable()) {
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            worker.join();
        }
    }

    std::thread worker;
    INT_PTR result = -100;
    HWND dialog = nullptr;
    HWND edit = nullptr;
};

TEST_F(PinDialog, EnterTakesThePinAsTyped)
{
    strcpy(pinBuffer, "old pin");
    Open();
    Type("12 34ab!");
    Key(VK_RETURN);
    EXPECT_EQ(IDOK, Closed());
    EXPECT_STREQ("12 34ab!", pinBuffer);
}

TEST_F(PinDialog, EscapeCancelsAndKeepsTheBuffer)
{
    strcpy(pinBuffer, "kept");
    Open();
    Type("9999");
    Key(VK_ESCAPE);
    EXPECT_EQ(IDCANCEL, Closed());
    EXPECT_STREQ("kept", pinBuffer);
}

TEST_F(PinDialog, OkWithAnEmptyEditGivesAnEmptyPin)
{
    strcpy(pinBuffer, "previous");
    Open();
    ClickButton(dialog, IDOK);
    EXPECT_EQ(IDOK, Closed());
    EXPECT_STREQ("", pinBuffer);
}

TEST_F(PinDialog, LongEntryKeepsTheFirstNinetyNineCharacters)
{
    std::wstring entry;
    for (int i = 0; i < 120; ++i)
        entry += (wchar_t)(L'a' + i % 26);
    Open();
    SetWindowTextW(edit, entry.c_str());
    EXPECT_EQ(120, GetWindowTextLengthW(edit));
    ClickButton(dialog, IDOK);
    EXPECT_EQ(IDOK, Closed());
    EXPECT_EQ(std::string(entry.begin(), entry.begin() + 99), std::string(pinBuffer));
}

TEST_F(PinDialog, TypedCharactersAreMaskedAndTheEditHasTheFocus)
{
    Open();
    EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_PASSWORD);
    EXPECT_NE(0, (int)SendMessageW(edit, EM_GETPASSWORDCHAR, 0, 0));
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info));
    EXPECT_EQ(edit, info.hwndFocus);
    // "Ok" is a plain button: Enter in the edit confirms through IDOK.
    EXPECT_EQ(BS_PUSHBUTTON, GetWindowLongW(GetDlgItem(dialog, IDOK), GWL_STYLE) & BS_TYPEMASK);
    EXPECT_EQ(nullptr, GetMenu(dialog));
    EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) & WS_SYSMENU);
    ClickButton(dialog, IDCANCEL);
    EXPECT_EQ(IDCANCEL, Closed());
}

}  // namespace
