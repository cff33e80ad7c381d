// The library-wide calls of the stand-in token: initialisation, slots, token
// information, the faults that tests inject into them and the call journal.
#include "softtoken_fixture.h"

#include "support/unix_command.h"

#include <cstring>

using Slots = std::vector<CK_SLOT_ID>;

static std::string Field(const unsigned char *field, size_t size)
{
    return std::string((const char *)field, size);
}

TEST_F(SofttokenTest, WithoutStoreFolderThereAreNoSlots)
{
    SetEnvironmentVariableW(L"SOFTTOKEN_DIR", nullptr);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(Slots(), SlotList(CK_FALSE));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_SLOT_ID_INVALID, C_GetTokenInfo(0, &info));
}

TEST_F(SofttokenTest, InitialisationFollowsTheStandard)
{
    CK_INFO info;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, useHardwareHash(0));
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, C_Initialize(nullptr));
    ASSERT_EQ(CKR_OK, C_GetInfo(&info));
    EXPECT_EQ(2, info.cryptokiVersion.major);
    EXPECT_EQ(30, info.cryptokiVersion.minor);
    EXPECT_EQ("Kestrava stand-in token         ", Field(info.manufacturerID, 32));
    EXPECT_EQ(CKR_OK, useHardwareHash(0));
    EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));

    // Arguments the standard reserves must be null.
    CK_C_INITIALIZE_ARGS args = {};
    args.pReserved = &args;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, C_Initialize(&args));
    args.pReserved = nullptr;
    args.DestroyMutex = [](void *) -> CK_RV { return CKR_OK; };
    EXPECT_EQ(CKR_ARGUMENTS_BAD, C_Initialize(&args));
#pragma push_macro("CreateMutex")
#undef CreateMutex
    args.CreateMutex = [](void **) -> CK_RV { return CKR_OK; };
#pragma pop_macro("CreateMutex")
    args.LockMutex = args.UnlockMutex = args.DestroyMutex;
    EXPECT_EQ(CKR_CANT_LOCK, C_Initialize(&args));
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(CKR_OK, C_Initialize(&args));
}

TEST_F(SofttokenTest, SlotListWithAndWithoutTokens)
{
    Tool({"init", "3"});
    Tool({"init", "0"});
    Tool({"init", "1", "--absent"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(Slots({0, 3}), SlotList(CK_TRUE));
    EXPECT_EQ(Slots({0, 1, 3}), SlotList(CK_FALSE));

    CK_SLOT_ID room[1] = {99};
    CK_ULONG count = 1;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, C_GetSlotList(CK_TRUE, room, &count));
    EXPECT_EQ(2u, count);

    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(1, &slotInfo));
    EXPECT_EQ(0u, slotInfo.flags & CKF_TOKEN_PRESENT);
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(3, &slotInfo));
    EXPECT_EQ(CKF_TOKEN_PRESENT, slotInfo.flags & CKF_TOKEN_PRESENT);
    EXPECT_EQ(CKR_SLOT_ID_INVALID, C_GetSlotInfo(2, &slotInfo));

    // A token put in while the library runs is seen at once.
    Tool({"present", "1", "yes"});
    EXPECT_EQ(Slots({0, 1, 3}), SlotList(CK_TRUE));
}

TEST_F(SofttokenTest, TokenInformation)
{
    Tool({"init", "0", "--label", "Ivanov"});
    Tool({"init", "1", "--absent"});
    Tool({"init", "2", "--tries", "3"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_TOKEN_INFO info;
    ASSERT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ("Ivanov" + std::string(26, ' '), Field(info.label, 32));
    EXPECT_EQ("JaCarta GOST    ", Field(info.model, 16));
    EXPECT_EQ(CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED,
              info.flags & (CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(1, &info));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, C_GetTokenInfo(7, &info));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, C_GetTokenInfo(0, nullptr));

    Tool({"fault", "2", "token-info-fails"});
    EXPECT_EQ(CKR_DEVICE_ERROR, C_GetTokenInfo(2, &info));
    EXPECT_EQ(Slots({0, 2}), SlotList(CK_TRUE));
    Tool({"clear-faults", "2"});
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(2, &info));
}

TEST_F(SofttokenTest, LibraryFaultsForceResults)
{
    Tool({"init", "0"});
    Tool({"fault", "library", "C_Initialize", "0x6"});
    EXPECT_EQ(CKR_FUNCTION_FAILED, C_Initialize(nullptr));
    CK_INFO info;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetInfo(&info));
    Tool({"clear-faults", "library"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));

    Tool({"fault", "library", "useHardwareHash", "84"});
    Tool({"fault", "library", "C_GetInfo", "0x5"});
    Tool({"fault", "library", "C_GetSlotList", "0x30", "--after", "2"});
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, useHardwareHash(0));
    EXPECT_EQ(CKR_GENERAL_ERROR, C_GetInfo(&info));
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_EQ(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_EQ(CKR_DEVICE_ERROR, C_GetSlotList(CK_TRUE, nullptr, &count));
    EXPECT_EQ(CKR_DEVICE_ERROR, C_GetSlotList(CK_TRUE, nullptr, &count));

    // A slot-bound function cannot be given to the library, nor the reverse.
    std::string output;
    EXPECT_NE(0, RunSoftToken({"fault", "library", "C_Login", "0xa0"}, &output));
    EXPECT_NE(0, RunSoftToken({"fault", "0", "C_GetSlotList", "0x30"}, &output));

    Tool({"clear-faults"});
    EXPECT_EQ(CKR_OK, useHardwareHash(0));
    EXPECT_EQ(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
}

TEST_F(SofttokenTest, SlotFaultsCountCallsOnThatSlot)
{
    Tool({"init", "0"});
    Tool({"init", "1"});
    Tool({"fault", "0", "C_GetTokenInfo", "0xe1", "--after", "1"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(1, &info));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(1, &info));
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, C_GetTokenInfo(0, &info));
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, C_GetTokenInfo(0, &info));

    // The counts start again with a new C_Initialize.
    ASSERT_EQ(CKR_OK, C_Finalize(nullptr));
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));

    // --once: only the call after the count fails.
    Tool({"fault", "0", "C_GetTokenInfo", "0xe1", "--after", "2", "--once"});
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, C_GetTokenInfo(0, &info));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
}

TEST_F(SofttokenTest, TokenAppearsBetweenTheTwoSlotListCalls)
{
    Tool({"init", "0"});
    Tool({"init", "1", "--absent"});
    Tool({"fault", "1", "appear-after", "C_GetSlotList", "1"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_ULONG count = 0;
    ASSERT_EQ(CKR_OK, C_GetSlotList(CK_TRUE, nullptr, &count));
    ASSERT_EQ(1u, count);
    CK_SLOT_ID slots[1];
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, C_GetSlotList(CK_TRUE, slots, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(Slots({0, 1}), SlotList(CK_TRUE));
}

TEST_F(SofttokenTest, TokenDisappearsAfterTheNthCall)
{
    Tool({"init", "0"});
    Tool({"init", "1"});
    Tool({"fault", "0", "remove-after", "C_GetTokenInfo", "2"});
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ(Slots({0, 1}), SlotList(CK_TRUE));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ(Slots({1}), SlotList(CK_TRUE));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, C_GetTokenInfo(0, &info));

    // The removal is in the store: another process sees it too, and putting
    // the token back works.
    C_Finalize(nullptr);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(Slots({1}), SlotList(CK_TRUE));
    Tool({"present", "0", "yes"});
    EXPECT_EQ(Slots({0, 1}), SlotList(CK_TRUE));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
}

TEST_F(SofttokenTest, JournalHasOneLinePerCall)
{
    Tool({"init", "0"});
    Tool({"init", "4", "--absent"});
    CK_INFO info;
    C_GetInfo(&info);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    C_GetInfo(&info);
    useHardwareHash(0);
    CK_ULONG count = 0;
    C_GetSlotList(CK_TRUE, nullptr, &count);
    CK_SLOT_ID slots[2];
    count = 2;
    C_GetSlotList(CK_FALSE, slots, &count);
    CK_SLOT_INFO slotInfo;
    C_GetSlotInfo(4, &slotInfo);
    CK_TOKEN_INFO tokenInfo;
    C_GetTokenInfo(4, &tokenInfo);
    C_Finalize(nullptr);
    C_Finalize(nullptr);
    EXPECT_EQ(std::vector<std::string>({
                  "C_GetInfo rv=0x190",
                  "C_Initialize rv=0x0",
                  "C_GetInfo rv=0x0",
                  "useHardwareHash flag=0 rv=0x0",
                  "C_GetSlotList tokenPresent=1 room=none count=1 rv=0x0",
                  "C_GetSlotList tokenPresent=0 room=2 count=2 rv=0x0",
                  "C_GetSlotInfo slot=4 rv=0x0",
                  "C_GetTokenInfo slot=4 rv=0xe0",
                  "C_Finalize rv=0x0",
                  "C_Finalize rv=0x190",
              }),
              ReadLines(journal));
}

TEST_F(SofttokenTest, ToolRejectsBadCommands)
{
    std::string output;
    EXPECT_EQ(0, RunSoftToken({}, &output));
    EXPECT_EQ(0u, output.find("usage: softtoken")) << output;
    EXPECT_EQ(2, RunSoftToken({"init", "x"}, &output));
    EXPECT_EQ(2, RunSoftToken({"frobnicate"}, &output));
    EXPECT_EQ(1, RunSoftToken({"list", "5"}, &output));
    EXPECT_NE(std::string::npos, output.find("no token in slot 5")) << output;
    EXPECT_EQ(2, RunSoftToken({"present", "5", "maybe"}, &output));
    Tool({"init", "5"});
    EXPECT_EQ(1, RunSoftToken({"fault", "5", "remove-after", "C_Login", "0"}, &output));
    EXPECT_EQ(2, RunSoftToken({"fault", "5", "C_Login", "lots"}, &output));
    // A misspelt function would never fire: it is refused.
    EXPECT_EQ(1, RunSoftToken({"fault", "5", "C_Loginn", "0xa0"}, &output));
    EXPECT_NE(std::string::npos, output.find("no such function: C_Loginn")) << output;
    EXPECT_EQ(1, RunSoftToken({"fault", "5", "remove-after", "C_FindObject"}, &output));
    EXPECT_EQ("", Tool({"list", "5"}));
}

// A slot file that is not a slot is passed over, not trusted.
TEST_F(SofttokenTest, BrokenSlotFileIsNoSlot)
{
    Tool({"init", "0"});
    Tool({"init", "1"});
    std::string whole;
    ASSERT_TRUE(ReadFileBytes(dir + "/slot-1.json", whole));
    ASSERT_TRUE(WriteFileBytes(dir + "/slot-1.json", whole.substr(0, whole.size() / 2)));
    ASSERT_TRUE(WriteFileBytes(dir + "/slot-2.json", "{\"slot\": 3}"));
    ASSERT_TRUE(WriteFileBytes(dir + "/slot-x.json", "{}"));
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(Slots({0}), SlotList(CK_FALSE));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_SLOT_ID_INVALID, C_GetTokenInfo(1, &info));
    std::string output;
    EXPECT_EQ(1, RunSoftToken({"list", "1"}, &output));
}

// A write is a new temporary file that replaces the slot file in one step: a
// tool killed half-way through writing leaves the old token intact.
TEST_F(SofttokenTest, StoreSurvivesAProcessKilledMidWrite)
{
    Tool({"init", "0", "--label", "Old"});
    SetEnvironmentVariableW(L"SOFTTOKEN_WRITE_PAUSE_MS", L"60000");
    HANDLE writer = StartTool({"init", "0", "--label", "New"});
    SetEnvironmentVariableW(L"SOFTTOKEN_WRITE_PAUSE_MS", nullptr);
    ASSERT_NE(nullptr, writer);

    // Wait for the half-written temporary file.
    std::wstring pattern = WindowsPath(dir + "/slot-0.json.tmp-*");
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    for (int waited = 0; waited < 3000 && search == INVALID_HANDLE_VALUE; ++waited) {
        search = FindFirstFileW(pattern.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, search) << "the tool never started writing";
    FindClose(search);
    Sleep(200);
    ASSERT_TRUE(TerminateProcess(writer, 9));
    WaitForSingleObject(writer, 10000);
    CloseHandle(writer);

    std::string temporary;
    ASSERT_TRUE(ReadFileBytes(dir + "/" + UnixPath(found.cFileName), temporary));
    EXPECT_GT(temporary.size(), 0u);
    std::string whole;
    ASSERT_TRUE(ReadFileBytes(dir + "/slot-0.json", whole));
    EXPECT_GT(whole.size(), temporary.size()) << "the temporary file should hold half a slot";

    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(Slots({0}), SlotList(CK_FALSE));
    CK_TOKEN_INFO info;
    ASSERT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ("Old" + std::string(29, ' '), Field(info.label, 32));

    // The next write goes through, whatever the left-over file.
    Tool({"init", "0", "--label", "New"});
    ASSERT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_EQ("New" + std::string(29, ' '), Field(info.label, 32));
}
