#include <gtest/gtest.h>

#include "support/unix_command.h"

// The commands that tests send to Linux tools carry quotes, backslashes and
// Cyrillic subjects; they must arrive exactly as written.
TEST(UnixCommand, PassesStatusAndOutput)
{
    std::string out;
    EXPECT_EQ(3, RunUnix("echo hi; exit 3", &out));
    EXPECT_EQ("hi\n", out);
}

TEST(UnixCommand, KeepsQuotesBackslashesAndCyrillic)
{
    std::string out;
    const std::string text = "ООО \"Ромашка\" a\\b \\\"c\\\\";
    ASSERT_EQ(0, RunUnix("printf '%s' " + ShellQuote(text), &out));
    EXPECT_EQ(text, out);
}

TEST(UnixCommand, FilesAndPathsRoundTrip)
{
    std::string dir = FreshWorkDir("unix-command-файлы");
    ASSERT_TRUE(WriteFileBytes(dir + "/данные.bin", std::string("a\0b", 3)));
    std::string size;
    ASSERT_EQ(0, RunUnix("stat -c %s " + ShellQuote(dir + "/данные.bin"), &size));
    EXPECT_EQ("3\n", size);
    EXPECT_EQ(dir + "/x", UnixPath(WindowsPath(dir + "/x")));
}
