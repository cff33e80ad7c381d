#include <gtest/gtest.h>
#include "support/unix_command.h"
TEST(Smoke, RunsUnixCommands) {
  std::string out;
  EXPECT_EQ(3, RunUnix("echo hi; exit 3", &out));
  EXPECT_EQ("hi\n", out);
}
