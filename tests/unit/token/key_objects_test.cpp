// The token objects of a renewal on the stand-in token: finding the current
// certificate, the new key pair, and removal by identifier.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <thread>

#include "support/dismiss_boxes.h"
#include "support/soft_token_tool.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"
#include "token/key_objects.h"

namespace {

class TokenObjects : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = FreshWorkDir(std::string("key-objects-") + info->name());
        journal = UseFreshTokenStore(dir).journal;
        ASSERT_NO_FATAL_FAILURE(Tool({"init", "0", "--pin", "1234"}));
        ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    }
    void TearDown() override
    {
        if (session)
            C_CloseSession(session);
        C_Finalize(nullptr);
        ForgetTokenStore();
    }
    void Tool(const std::vector<std::string> &args)
    {
        std::string output;
        ASSERT_EQ(0, RunSoftToken(args, &output)) << output;
    }
    void OpenAndLogIn()
    {
        ASSERT_EQ(CKR_OK, C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session));
        ASSERT_EQ(CKR_OK, C_Login(session, CKU_USER, (CK_UTF8CHAR *)"1234", 4));
    }
    void AddCertificateObject(const std::string &id, const std::string &name)
    {
        std::string value = dir + "/" + name;
        ASSERT_TRUE(WriteFileBytes(value, "not decoded here " + name));
        Tool({"add-object", "0", "--class", "1", "--id", ToHexText(id), "--value-file", value});
    }
    std::vector<TokenObject> WithId(const std::string &id)
    {
        std::vector<TokenObject> found;
        for (const auto &object : ListTokenObjects(0))
            if (object.idHex == ToHexText(id))
                found.push_back(object);
        return found;
    }
    std::string JournalCalls()
    {
        std::string text;
        ReadFileBytes(journal, text);
        return text;
    }

    std::string dir, journal;
    CK_SESSION_HANDLE session = 0;
};

int steps = 0;
void CountStep(HWND)
{
    ++steps;
}

size_t Count(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at)
        ++count;
    return count;
}

// The token stumbles once on the second object: it is tried again.
TEST_F(TokenObjects, RemovalTakesEveryObjectOfTheIdentifierAndNothingElse)
{
    Tool({"keygen", "0", "--id", ToHexText("old-id")});
    AddCertificateObject("old-id", "c1");
    AddCertificateObject("old-id", "c2");
    Tool({"keygen", "0", "--id", ToHexText("old-id-2")});
    Tool({"keygen", "0", "--id", ToHexText("other")});
    ASSERT_EQ(4u, WithId("old-id").size());
    Tool({"fault", "0", "C_DestroyObject", "0x30", "--after", "1", "--once"});
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());

    DestroyObjectsById(session, (const CK_BYTE *)"old-id", 6, nullptr);

    EXPECT_TRUE(WithId("old-id").empty());
    EXPECT_EQ(2u, WithId("old-id-2").size());
    EXPECT_EQ(2u, WithId("other").size());
    std::string calls = JournalCalls();
    // One object per pass, the stumble tried again, and a last pass that
    // finds nothing.
    EXPECT_EQ(5u, Count(calls, "C_DestroyObject"));
    EXPECT_EQ(6u, Count(calls, "C_FindObjectsInit"));
}

TEST_F(TokenObjects, RemovalEndsWhenAnObjectCannotBeDestroyed)
{
    Tool({"keygen", "0", "--id", ToHexText("stuck")});
    Tool({"keygen", "0", "--id", ToHexText("kept")});
    std::vector<TokenObject> stuck = WithId("stuck");
    ASSERT_EQ(2u, stuck.size());
    for (const auto &object : stuck)
        Tool({"fault", "0", "undestroyable", std::to_string(object.handle)});
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());

    auto removal = std::async(std::launch::async, [this] {
        DestroyObjectsById(session, (const CK_BYTE *)"stuck", 5, nullptr);
    });
    ASSERT_TRUE(FinishDismissingBoxes(removal)) << "the removal kept searching";
    EXPECT_EQ(3u, Count(JournalCalls(), "C_DestroyObject")) << "three tries of the first object found";
    EXPECT_EQ(2u, WithId("stuck").size());
    EXPECT_EQ(2u, WithId("kept").size());
}

TEST_F(TokenObjects, AnEmptyIdentifierRemovesNothing)
{
    Tool({"keygen", "0", "--id", ToHexText("a")});
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());
    DestroyObjectsById(session, (const CK_BYTE *)"", 0, nullptr);
    EXPECT_EQ(2u, ListTokenObjects(0).size());
    EXPECT_EQ(std::string::npos, JournalCalls().find("C_FindObjectsInit"));
}

TEST_F(TokenObjects, FindingTheCurrentCertificateCountsCertificatesOnlyUpToSixteen)
{
    Tool({"keygen", "0", "--id", ToHexText("cur")});
    AddCertificateObject("cur", "one");
    for (int i = 0; i < 18; ++i)
        AddCertificateObject("many", "m" + std::to_string(i));
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());

    CK_OBJECT_HANDLE userCert = 0;
    steps = 0;
    EXPECT_EQ(1u, FindCurrentCertificate(session, (const CK_BYTE *)"cur", 3, nullptr, CountStep, nullptr, &userCert));
    EXPECT_EQ(3, steps);
    std::vector<TokenObject> cur = WithId("cur");
    auto certificate = std::find_if(cur.begin(), cur.end(),
                                    [](const TokenObject &o) { return o.objectClass == "certificate"; });
    ASSERT_NE(cur.end(), certificate);
    EXPECT_EQ(certificate->handle, userCert);

    EXPECT_EQ(16u, FindCurrentCertificate(session, (const CK_BYTE *)"many", 4, nullptr, CountStep, nullptr, &userCert));
    EXPECT_EQ(0u, FindCurrentCertificate(session, (const CK_BYTE *)"gone", 4, nullptr, CountStep, nullptr, &userCert));
    EXPECT_EQ(9, steps);
}

TEST_F(TokenObjects, AFailedSearchCallIsShownAndTheSearchGoesOn)
{
    AddCertificateObject("cur", "one");
    Tool({"fault", "0", "C_FindObjectsInit", "0x91"});
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());

    CK_OBJECT_HANDLE userCert = 0;
    steps = 0;
    std::future<CK_ULONG> found = std::async(std::launch::async, [&] {
        return FindCurrentCertificate(session, (const CK_BYTE *)"cur", 3, nullptr, CountStep, nullptr, &userCert);
    });
    // With no search begun, C_FindObjects fails too and is shown in turn.
    std::vector<std::wstring> shown;
    for (int i = 0; i < 3; ++i) {
        HWND box = WaitForWindow(L"Ошибка");
        if (!box)
            break;
        shown.push_back(MessageBoxText(box));
        ClickButton(box, IDOK);
        WaitForWindowGone(box);
    }
    ASSERT_TRUE(FinishDismissingBoxes(found));
    EXPECT_EQ((std::vector<std::wstring>{L"C_FindObjectsInit", L"C_FindObjects", L"C_FindObjectsFinal"}), shown);
    EXPECT_EQ(0u, found.get());
    EXPECT_EQ(3, steps);
    std::string calls = JournalCalls();
    EXPECT_NE(std::string::npos, calls.find("C_FindObjects "));
    EXPECT_NE(std::string::npos, calls.find("C_FindObjectsFinal"));
}

TEST_F(TokenObjects, NewKeyPairAndCertificateCarryTheNewIdentifier)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndLogIn());
    CK_BYTE id[NEW_CKA_ID_LENGTH];
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 7;
    MakeNewCKAIDAt(t, L"7712345678", id);
    CertRecord record;
    record.keyKind = KeyGost2001;
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0, certificate = 0;
    ASSERT_EQ(CKR_OK, GenerateRenewalKeyPair(session, id, record, &publicKey, &privateKey));
    const CK_BYTE certificateValue[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    ASSERT_EQ(CKR_OK, StoreNewCertificate(session, id, NEW_CKA_ID_LENGTH, certificateValue, sizeof certificateValue,
                                          &certificate));

    std::vector<TokenObject> objects = WithId(std::string((const char *)id, NEW_CKA_ID_LENGTH));
    ASSERT_EQ(3u, objects.size());
    std::sort(objects.begin(), objects.end(),
              [](const TokenObject &a, const TokenObject &b) { return a.objectClass < b.objectClass; });
    EXPECT_EQ("certificate", objects[0].objectClass);
    EXPECT_EQ("EGAIS", objects[0].label);
    EXPECT_EQ(5u, objects[0].valueLength);
    EXPECT_EQ("private-key", objects[1].objectClass);
    EXPECT_EQ("Private key", objects[1].label);
    EXPECT_EQ("public-key", objects[2].objectClass);
    EXPECT_EQ("Public key", objects[2].label);
}

}  // namespace
