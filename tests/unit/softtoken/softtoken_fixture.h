// Shared by the stand-in token's tests: a fresh store folder and journal for
// every test, and starting softtoken.exe (RunSoftToken runs it to the end).
#pragma once

#include "token/token_library.h"

#include "support/soft_token_tool.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

// Starts softtoken.exe without waiting for it and returns its process handle
// (null on failure), for tests that stop it half-way.
HANDLE StartTool(const std::vector<std::string> &args);

// DER of the CryptoPro-A parameter set (1.2.643.2.2.35.1).
extern const CK_BYTE cryptoProA[9];

// A GOST key pair with the renewal's templates ("Public key", "Private key",
// CryptoPro-A) under the identifier id.
CK_RV GenerateGostKeyPair(CK_SESSION_HANDLE session, const std::string &id, CK_OBJECT_HANDLE &publicKey,
                          CK_OBJECT_HANDLE &privateKey);

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
