// The window driver itself, on windows of this process, so that a failing
// program test points at the program and not at its driver.
#include <gtest/gtest.h>

#include "support/unix_command.h"
#include "support/window_driver.h"

#include <thread>

TEST(WindowDriver, ReadsAndAnswersAMessageBox)
{
    int answer = 0;
    std::thread box([&answer] {
        answer = MessageBoxW(nullptr, L"Первая строка\nвторая", L"Проверка драйвера", MB_YESNO | MB_ICONQUESTION);
    });
    HWND found = WaitForWindow(L"Проверка драйвера", L"#32770", 10000, GetCurrentProcessId());
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(L"Первая строка\nвторая", MessageBoxText(found));
    EXPECT_TRUE(SaveScreenshot("driver-message-box"));
    EXPECT_TRUE(ClickButton(found, IDNO));
    box.join();
    EXPECT_EQ(IDNO, answer);
    EXPECT_TRUE(WaitForWindowGone(found, 5000));
}

TEST(WindowDriver, MissingWindowTimesOut)
{
    DWORD start = GetTickCount();
    EXPECT_EQ(nullptr, WaitForWindow(L"Такого окна нет", nullptr, 300));
    EXPECT_GE(GetTickCount() - start, 250u);
}

TEST(WindowDriver, StartsAProgramWithExtraEnvironmentAndReportsItsExitCode)
{
    std::string store = FreshWorkDir("driver-environment");
    std::map<std::wstring, std::wstring> environment = {{L"SOFTTOKEN_DIR", WindowsPath(store)}};
    RunningProgram program = StartProgram(L"softtoken.exe", environment, L"init 7");
    ASSERT_NE(nullptr, program.process);
    EXPECT_EQ(0, WaitForExit(program, 60000));
    KillProgram(program);
    EXPECT_EQ(nullptr, program.process);
    std::string slot;
    EXPECT_TRUE(ReadFileBytes(store + "/slot-7.json", slot)) << "the tool saw SOFTTOKEN_DIR";
    EXPECT_EQ(-1, WaitForExit(program, 0)) << "no process left";
    EXPECT_EQ(1, RunProgram(L"softtoken.exe", L"list 5", environment)) << "a slot that does not exist";
}
