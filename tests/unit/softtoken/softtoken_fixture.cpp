#include "softtoken_fixture.h"

#include "support/token_fixture.h"
#include "support/unix_command.h"

#include <cstdio>
#include <sstream>

static std::wstring QuoteArgument(const std::string &utf8)
{
    // Arguments are UTF-8 here, as the tool gives them to the token.
    std::wstring arg = Widen(utf8);
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            quoted.append(backslashes * 2 + 1, L'\\');
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        quoted += c;
    }
    quoted.append(backslashes, L'\\');
    return quoted + L"\"";
}

static std::wstring ToolCommandLine(const std::vector<std::string> &args)
{
    std::wstring line = L"\"" + WindowsPath(TestEnv("KESTRAVA_BIN") + "/softtoken.exe") + L"\"";
    for (auto &arg : args)
        line += L" " + QuoteArgument(arg);
    return line;
}

HANDLE StartTool(const std::vector<std::string> &args)
{
    std::wstring line = ToolCommandLine(args);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

std::vector<std::string> ReadLines(const std::string &unixPath)
{
    std::string text;
    std::vector<std::string> lines;
    if (!ReadFileBytes(unixPath, text))
        return lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

void SofttokenTest::SetUp()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    TokenStore store =
        UseFreshTokenStore(FreshWorkDir(std::string("softtoken-") + info->test_suite_name() + "-" + info->name()));
    dir = store.dir;
    journal = store.journal;
}

void SofttokenTest::TearDown()
{
    C_Finalize(nullptr);
    ForgetTokenStore();
}

std::string SofttokenTest::Tool(const std::vector<std::string> &args)
{
    std::string output;
    int code = RunSoftToken(args, &output);
    EXPECT_EQ(0, code) << "softtoken failed: " << output;
    return output;
}

std::vector<CK_SLOT_ID> SofttokenTest::SlotList(CK_BBOOL tokenPresent)
{
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_OK, C_GetSlotList(tokenPresent, nullptr, &count));
    std::vector<CK_SLOT_ID> slots(count);
    if (count) {
        EXPECT_EQ(CKR_OK, C_GetSlotList(tokenPresent, slots.data(), &count));
    }
    slots.resize(count);
    return slots;
}

const CK_BYTE cryptoProA[9] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

CK_RV GenerateGostKeyPair(CK_SESSION_HANDLE session, const std::string &id, CK_OBJECT_HANDLE &publicKey,
                          CK_OBJECT_HANDLE &privateKey)
{
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_TOKEN, &yes, 1},
        {CKA_LABEL, (void *)"Public key", 10},
        {CKA_GOSTR3410_PARAMS, (void *)cryptoProA, sizeof cryptoProA},
        {CKA_ID, (void *)id.data(), id.size()},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &yes, 1},
        {CKA_LABEL, (void *)"Private key", 11},
        {CKA_GOSTR3410_PARAMS, (void *)cryptoProA, sizeof cryptoProA},
        {CKA_ID, (void *)id.data(), id.size()},
    };
    CK_MECHANISM mechanism = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    return C_GenerateKeyPair(session, &mechanism, publicTemplate, 4, privateTemplate, 4, &publicKey, &privateKey);
}
