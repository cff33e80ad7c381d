// Shared by the stand-in token's tests: a fresh store folder and journal for
// every test, and running softtoken.exe.
#pragma once

#include "token/token_library.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

// Runs softtoken.exe with the arguments and waits (at most 120 s); output
// receives stdout and stderr together. Returns the exit code, -1 on failure.
int RunTool(const std::vector<std::string> &args, std::string *output = nullptr);

// Starts softtoken.exe and returns its process handle (null on failure).
HANDLE StartTool(const std::vector<std::string> &args);

// Bytes from a hex string, and back.
std::string Hex(const std::string &bytes);
std::string Unhex(const std::string &hex);

// The journal's lines.
std::vector<std::string> ReadLines(const std::string &unixPath);

class SofttokenTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the tool and expects success; returns its output.
    std::string Tool(const std::vector<std::string> &args);
    std::vector<CK_SLOT_ID> SlotList(CK_BBOOL tokenPresent);

    std::string dir;      // Linux path of the store folder
    std::string journal;  // Linux path of the journal
};
