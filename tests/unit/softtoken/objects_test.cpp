// Sessions, login, search and objects of the stand-in token, as the standard
// gives them for what the program uses.
#include "softtoken_fixture.h"

#include "support/unix_command.h"

#include <p11-kit/pkcs11x.h>

#include <cstring>
#include <thread>

namespace {


class TokenObjects : public SofttokenTest {
protected:
    void SetUp() override
    {
        SofttokenTest::SetUp();
        Tool({"init", "0", "--pin", "12345678", "--tries", "3"});
        ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    }

    CK_SESSION_HANDLE Open(CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION)
    {
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(CKR_OK, C_OpenSession(0, flags, nullptr, nullptr, &session));
        return session;
    }

    CK_RV Login(CK_SESSION_HANDLE session, const std::string &pin)
    {
        return C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin.data(), pin.size());
    }

    CK_OBJECT_HANDLE CreateCertificate(CK_SESSION_HANDLE session, const std::string &id, const std::string &value)
    {
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &certClass, sizeof certClass},
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, (void *)"EGAIS", 5},
            {CKA_ID, (void *)id.data(), id.size()},
            {CKA_VALUE, (void *)value.data(), value.size()},
        };
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, C_CreateObject(session, attributes, 5, &handle));
        return handle;
    }

    std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session, CK_ATTRIBUTE *pattern, CK_ULONG count)
    {
        std::vector<CK_OBJECT_HANDLE> all;
        EXPECT_EQ(CKR_OK, C_FindObjectsInit(session, pattern, count));
        CK_OBJECT_HANDLE batch[7];
        CK_ULONG got = 0;
        while (C_FindObjects(session, batch, 7, &got) == CKR_OK && got > 0)
            all.insert(all.end(), batch, batch + got);
        EXPECT_EQ(CKR_OK, C_FindObjectsFinal(session));
        return all;
    }

    std::vector<CK_OBJECT_HANDLE> FindById(CK_SESSION_HANDLE session, const std::string &id)
    {
        CK_ATTRIBUTE pattern[] = {{CKA_ID, (void *)id.data(), id.size()}};
        return FindAll(session, pattern, 1);
    }
};

using Handles = std::vector<CK_OBJECT_HANDLE>;

}  // namespace

TEST_F(TokenObjects, PinTriesCountDownAndLock)
{
    CK_SESSION_HANDLE session = Open();
    EXPECT_EQ(CKR_PIN_INCORRECT, Login(session, "00000000"));
    EXPECT_EQ(CKR_PIN_INCORRECT, Login(session, "1234567"));
    CK_TOKEN_INFO info;
    ASSERT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_TRUE(info.flags & CKF_USER_PIN_FINAL_TRY);
    // An empty PIN is refused before it is checked and costs no try.
    EXPECT_EQ(CKR_PIN_LEN_RANGE, Login(session, ""));
    // The right PIN gives the tries back.
    EXPECT_EQ(CKR_OK, Login(session, "12345678"));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, Login(session, "12345678"));
    EXPECT_EQ(CKR_OK, C_Logout(session));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, C_Logout(session));

    EXPECT_EQ(CKR_PIN_INCORRECT, Login(session, "1"));
    EXPECT_EQ(CKR_PIN_INCORRECT, Login(session, "2"));
    EXPECT_EQ(CKR_PIN_LOCKED, Login(session, "3"));
    EXPECT_EQ(CKR_PIN_LOCKED, Login(session, "12345678"));
    ASSERT_EQ(CKR_OK, C_GetTokenInfo(0, &info));
    EXPECT_TRUE(info.flags & CKF_USER_PIN_LOCKED);

    // The tries are the token's: another process finds it locked too.
    C_Finalize(nullptr);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    session = Open();
    EXPECT_EQ(CKR_PIN_LOCKED, Login(session, "12345678"));
    EXPECT_EQ(CKR_USER_TYPE_INVALID, C_Login(session, CKU_SO, (CK_UTF8CHAR_PTR) "12345678", 8));
}

TEST_F(TokenObjects, LoginBelongsToTheApplicationUntilItsLastSessionCloses)
{
    CK_SESSION_HANDLE first = Open(), second = Open();
    EXPECT_NE(first, second);
    ASSERT_EQ(CKR_OK, Login(first, "12345678"));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, Login(second, "12345678"));
    EXPECT_EQ(CKR_OK, C_CloseSession(first));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, C_CloseSession(first));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, Login(second, "12345678"));
    EXPECT_EQ(CKR_OK, C_CloseSession(second));
    CK_SESSION_HANDLE third = Open();
    EXPECT_EQ(CKR_OK, Login(third, "12345678"));
    EXPECT_EQ(CKR_OK, C_CloseAllSessions(0));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, C_Logout(third));

    CK_SESSION_HANDLE session;
    EXPECT_EQ(CKR_SESSION_PARALLEL_NOT_SUPPORTED, C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &session));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, C_OpenSession(9, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
    Tool({"present", "0", "no"});
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
}

TEST_F(TokenObjects, PrivateKeysNeedLoginAndTheirValueNeverLeaves)
{
    CK_SESSION_HANDLE session = Open();
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, GenerateGostKeyPair(session, "key", publicKey, privateKey));
    ASSERT_EQ(CKR_OK, Login(session, "12345678"));
    ASSERT_EQ(CKR_OK, GenerateGostKeyPair(session, "key", publicKey, privateKey));
    EXPECT_EQ(Handles({publicKey, privateKey}), FindById(session, "key"));

    CK_BYTE value[64];
    CK_OBJECT_CLASS keyClass = 0;
    CK_ATTRIBUTE read[] = {{CKA_VALUE, value, sizeof value}, {CKA_CLASS, &keyClass, sizeof keyClass}};
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, C_GetAttributeValue(session, privateKey, read, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[0].ulValueLen);
    EXPECT_EQ(CKO_PRIVATE_KEY, keyClass);
    read[0].ulValueLen = sizeof value;
    ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, publicKey, read, 2));
    EXPECT_EQ(64u, read[0].ulValueLen);
    EXPECT_EQ(CKO_PUBLIC_KEY, keyClass);
    CK_BYTE params[16];
    CK_ATTRIBUTE paramsRead[] = {{CKA_GOSTR3410_PARAMS, params, sizeof params}};
    ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, privateKey, paramsRead, 1));
    EXPECT_EQ(std::string((const char *)cryptoProA, 9), std::string((const char *)params, paramsRead[0].ulValueLen));

    // Not logged in, the private key is not there at all.
    ASSERT_EQ(CKR_OK, C_Logout(session));
    EXPECT_EQ(Handles({publicKey}), FindById(session, "key"));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, C_GetAttributeValue(session, privateKey, paramsRead, 1));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(session, privateKey));

    // Nor can the tool read it.
    std::string output;
    EXPECT_EQ(1, RunSoftToken({"dump", "0", std::to_string(privateKey), "--out", dir + "/private.bin"}, &output));
    EXPECT_EQ(0, RunSoftToken({"dump", "0", std::to_string(publicKey), "--out", dir + "/public.bin"}, &output));
    std::string dumped;
    ASSERT_TRUE(ReadFileBytes(dir + "/public.bin", dumped));
    EXPECT_EQ(std::string((const char *)value, 64), dumped);
}

TEST_F(TokenObjects, KeyGenerationChecksItsArguments)
{
    CK_SESSION_HANDLE session = Open();
    ASSERT_EQ(CKR_OK, Login(session, "12345678"));
    CK_OBJECT_HANDLE publicKey, privateKey;
    CK_MECHANISM wrong = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE noParams[] = {{CKA_TOKEN, &yes, 1}};
    CK_BYTE unknownParams[] = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x09};
    CK_ATTRIBUTE paramsUnknown[] = {{CKA_GOSTR3410_PARAMS, unknownParams, sizeof unknownParams}};
    CK_ATTRIBUTE paramsA[] = {{CKA_GOSTR3410_PARAMS, (void *)cryptoProA, sizeof cryptoProA}};
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE sessionOnly[] = {{CKA_TOKEN, &no, 1}};
    CK_MECHANISM gost = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    EXPECT_EQ(CKR_MECHANISM_INVALID, C_GenerateKeyPair(session, &wrong, paramsA, 1, nullptr, 0, &publicKey, &privateKey));
    EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, C_GenerateKeyPair(session, &gost, noParams, 1, nullptr, 0, &publicKey, &privateKey));
    EXPECT_EQ(CKR_DOMAIN_PARAMS_INVALID,
              C_GenerateKeyPair(session, &gost, paramsUnknown, 1, nullptr, 0, &publicKey, &privateKey));
    EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT,
              C_GenerateKeyPair(session, &gost, paramsA, 1, sessionOnly, 1, &publicKey, &privateKey));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, C_GenerateKeyPair(session, &gost, paramsA, 1, nullptr, 0, nullptr, &privateKey));
    EXPECT_EQ(Handles(), FindById(session, ""));

    CK_SESSION_HANDLE readOnly = Open(CKF_SERIAL_SESSION);
    EXPECT_EQ(CKR_SESSION_READ_ONLY, C_GenerateKeyPair(readOnly, &gost, paramsA, 1, nullptr, 0, &publicKey, &privateKey));
    EXPECT_EQ(CKR_OK, C_GenerateKeyPair(session, &gost, paramsA, 1, nullptr, 0, &publicKey, &privateKey));
}

// A key of each size only on a parameter set of that size and with the
// digest of its kind; what the token makes keeps both readable.
TEST_F(TokenObjects, KeyGenerationTakesOnlyParametersOfItsKind)
{
    CK_SESSION_HANDLE session = Open();
    ASSERT_EQ(CKR_OK, Login(session, "12345678"));
    const std::string setA((const char *)cryptoProA, 9);
    const std::string tc26A256("\x06\x09\x2A\x85\x03\x07\x01\x02\x01\x01\x01", 11);
    const std::string tc26A512("\x06\x09\x2A\x85\x03\x07\x01\x02\x01\x02\x01", 11);
    const std::string gost94("\x06\x07\x2A\x85\x03\x02\x02\x1E\x01", 9);
    const std::string streebog256("\x06\x08\x2A\x85\x03\x07\x01\x01\x02\x02", 10);
    const std::string streebog512("\x06\x08\x2A\x85\x03\x07\x01\x01\x02\x03", 10);
    const CK_MECHANISM_TYPE narrow = CKM_GOSTR3410_KEY_PAIR_GEN, wide = CKM_GOSTR3410_512_KEY_PAIR_GEN;
    struct Case {
        CK_MECHANISM_TYPE mechanism;
        std::string params, hash, privateParams;
        CK_RV expected;
    } cases[] = {
        {narrow, tc26A512, "", "", CKR_DOMAIN_PARAMS_INVALID},
        {wide, setA, "", "", CKR_DOMAIN_PARAMS_INVALID},
        {narrow, setA, setA, "", CKR_DOMAIN_PARAMS_INVALID},  // a parameter set is no digest
        {narrow, tc26A256, gost94, "", CKR_TEMPLATE_INCONSISTENT},
        {narrow, setA, streebog512, "", CKR_TEMPLATE_INCONSISTENT},
        {wide, tc26A512, streebog256, "", CKR_TEMPLATE_INCONSISTENT},
        {narrow, setA, streebog256, tc26A256, CKR_TEMPLATE_INCONSISTENT},
        {narrow, tc26A256, streebog256, "", CKR_OK},
        {wide, tc26A512, "", "", CKR_OK},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(ToHexText(c.params) + " " + ToHexText(c.hash) + " " + ToHexText(c.privateParams));
        std::vector<CK_ATTRIBUTE> publicTemplate = {{CKA_GOSTR3410_PARAMS, &c.params[0], c.params.size()},
                                                    {CKA_ID, (void *)"k", 1}};
        std::vector<CK_ATTRIBUTE> privateTemplate = {{CKA_ID, (void *)"k", 1}};
        if (!c.hash.empty())
            publicTemplate.push_back({CKA_GOSTR3411_PARAMS, &c.hash[0], c.hash.size()});
        if (!c.privateParams.empty())
            privateTemplate.push_back({CKA_GOSTR3410_PARAMS, &c.privateParams[0], c.privateParams.size()});
        CK_MECHANISM mechanism = {c.mechanism, nullptr, 0};
        CK_OBJECT_HANDLE keys[2] = {};
        ASSERT_EQ(c.expected, C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                                privateTemplate.data(), privateTemplate.size(), &keys[0], &keys[1]));
        EXPECT_EQ(c.expected == CKR_OK ? 2u : 0u, FindById(session, "k").size());
        for (CK_OBJECT_HANDLE key : FindById(session, "k")) {
            CK_KEY_TYPE keyType = 0;
            char params[16], hash[16];
            CK_ATTRIBUTE read[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType},
                                   {CKA_GOSTR3410_PARAMS, params, sizeof params},
                                   {CKA_GOSTR3411_PARAMS, hash, sizeof hash}};
            ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, key, read, 3));
            EXPECT_EQ(c.mechanism == wide ? CKK_GOSTR3410_512 : CKK_GOSTR3410, keyType);
            EXPECT_EQ(c.params, std::string(params, read[1].ulValueLen));
            EXPECT_EQ(c.mechanism == wide ? streebog512 : streebog256, std::string(hash, read[2].ulValueLen));
            EXPECT_EQ(CKR_OK, C_DestroyObject(session, key));
        }
    }
}

TEST_F(TokenObjects, FindMatchesIdBytesExactlyIncludingZeros)
{
    CK_SESSION_HANDLE session = Open();
    std::string withZero("A\0B", 3), prefix("A", 1), longer("A\0B\0", 4);
    CK_OBJECT_HANDLE a = CreateCertificate(session, withZero, "cert-a");
    CK_OBJECT_HANDLE b = CreateCertificate(session, prefix, "cert-b");
    CK_OBJECT_HANDLE c = CreateCertificate(session, longer, "cert-c");
    CK_OBJECT_HANDLE d = CreateCertificate(session, withZero, "cert-d");
    EXPECT_EQ(Handles({a, d}), FindById(session, withZero));
    EXPECT_EQ(Handles({b}), FindById(session, prefix));
    EXPECT_EQ(Handles({c}), FindById(session, longer));
    EXPECT_EQ(Handles(), FindById(session, std::string("A\0C", 3)));

    // Class and token together, as the search asks.
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE certificates[] = {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_TOKEN, &yes, 1}};
    EXPECT_EQ(Handles({a, b, c, d}), FindAll(session, certificates, 2));
    CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass}};
    EXPECT_EQ(Handles(), FindAll(session, data, 1));
    EXPECT_EQ(Handles({a, b, c, d}), FindAll(session, nullptr, 0));

    // The tool lists the same objects in the same order.
    EXPECT_EQ("handle=" + std::to_string(a) + " class=certificate id=410042 label=EGAIS value-length=6\n"
              "handle=" + std::to_string(b) + " class=certificate id=41 label=EGAIS value-length=6\n"
              "handle=" + std::to_string(c) + " class=certificate id=41004200 label=EGAIS value-length=6\n"
              "handle=" + std::to_string(d) + " class=certificate id=410042 label=EGAIS value-length=6\n",
              Tool({"list", "0"}));
}

TEST_F(TokenObjects, FindObjectsGivesBatchesOfTheMaximumCount)
{
    CK_SESSION_HANDLE session = Open();
    Handles created;
    for (int i = 0; i < 130; ++i)
        created.push_back(CreateCertificate(session, "id" + std::to_string(i), std::string(300 + i, 'c')));
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_TOKEN, &yes, 1}};
    ASSERT_EQ(CKR_OK, C_FindObjectsInit(session, pattern, 2));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, C_FindObjectsInit(session, pattern, 2));
    CK_OBJECT_HANDLE handles[128];
    CK_ULONG count = 0;
    ASSERT_EQ(CKR_OK, C_FindObjects(session, handles, 128, &count));
    ASSERT_EQ(128u, count);
    EXPECT_EQ(Handles(created.begin(), created.begin() + 128), Handles(handles, handles + 128));
    ASSERT_EQ(CKR_OK, C_FindObjects(session, handles, 128, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(created[128], handles[0]);
    EXPECT_EQ(created[129], handles[1]);
    ASSERT_EQ(CKR_OK, C_FindObjects(session, handles, 128, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(CKR_OK, C_FindObjectsFinal(session));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, C_FindObjects(session, handles, 128, &count));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, C_FindObjectsFinal(session));
}

TEST_F(TokenObjects, AttributeBuffersFollowTheStandard)
{
    CK_SESSION_HANDLE session = Open();
    std::string big(5000, 'v'), small(1000, 's');
    CK_OBJECT_HANDLE bigCert = CreateCertificate(session, "big", big);
    CK_OBJECT_HANDLE smallCert = CreateCertificate(session, "small", small);

    std::string value(4096, '\0'), id(256, '\0');
    CK_ATTRIBUTE read[] = {{CKA_VALUE, &value[0], 4096}, {CKA_ID, &id[0], 256}};
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, C_GetAttributeValue(session, bigCert, read, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[0].ulValueLen);
    // The other attribute is still answered.
    EXPECT_EQ(3u, read[1].ulValueLen);
    EXPECT_EQ("big", id.substr(0, 3));

    CK_ATTRIBUTE sizes[] = {{CKA_VALUE, nullptr, 0}, {CKA_ID, nullptr, 0}};
    ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, bigCert, sizes, 2));
    EXPECT_EQ(5000u, sizes[0].ulValueLen);
    EXPECT_EQ(3u, sizes[1].ulValueLen);

    CK_ATTRIBUTE again[] = {{CKA_VALUE, &value[0], 4096}, {CKA_ID, &id[0], 256}};
    ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, smallCert, again, 2));
    EXPECT_EQ(1000u, again[0].ulValueLen);
    EXPECT_EQ(small, value.substr(0, 1000));
    EXPECT_EQ('\0', value[1000]);

    CK_ATTRIBUTE missing[] = {{CKA_SUBJECT, &value[0], 4096}, {CKA_LABEL, &id[0], 256}};
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, C_GetAttributeValue(session, smallCert, missing, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, missing[0].ulValueLen);
    EXPECT_EQ(5u, missing[1].ulValueLen);
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, C_GetAttributeValue(session, 9999, again, 2));
    CK_ULONG certificateType = 0;
    CK_ATTRIBUTE type[] = {{CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType}};
    ASSERT_EQ(CKR_OK, C_GetAttributeValue(session, smallCert, type, 1));
    EXPECT_EQ(CKC_X_509, certificateType);
}

TEST_F(TokenObjects, CreateAndDestroyObjects)
{
    CK_SESSION_HANDLE session = Open();
    CK_OBJECT_HANDLE kept = CreateCertificate(session, "old", "old-cert");
    CK_OBJECT_HANDLE gone = CreateCertificate(session, "old", "old-cert-2");
    CK_OBJECT_HANDLE other = CreateCertificate(session, "new", "new-cert");
    Tool({"fault", "0", "undestroyable", std::to_string(kept)});
    EXPECT_EQ(CKR_ACTION_PROHIBITED, C_DestroyObject(session, kept));
    EXPECT_EQ(CKR_OK, C_DestroyObject(session, gone));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, C_DestroyObject(session, gone));
    EXPECT_EQ(Handles({kept}), FindById(session, "old"));
    EXPECT_EQ(Handles({other}), FindById(session, "new"));

    // Nothing is written through a read-only session, and a template needs
    // a class and, for a certificate, a value.
    CK_SESSION_HANDLE readOnly = Open(CKF_SERIAL_SESSION);
    EXPECT_EQ(CKR_SESSION_READ_ONLY, C_DestroyObject(readOnly, other));
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE noValue[] = {{CKA_CLASS, &certClass, sizeof certClass}};
    CK_ATTRIBUTE noClass[] = {{CKA_VALUE, (void *)"x", 1}};
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, C_CreateObject(session, noValue, 1, &handle));
    EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, C_CreateObject(session, noClass, 1, &handle));
    EXPECT_EQ(CKR_SESSION_READ_ONLY, C_CreateObject(readOnly, noClass, 1, &handle));
    EXPECT_EQ(0u, handle);

    // Objects are on the token: a new process sees them.
    C_Finalize(nullptr);
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    session = Open();
    EXPECT_EQ(Handles({kept}), FindById(session, "old"));
}

TEST_F(TokenObjects, ForcedResultsAndRemovalOnSessions)
{
    CK_SESSION_HANDLE session = Open();
    CreateCertificate(session, "a", "cert");
    Tool({"fault", "0", "C_FindObjects", "0x30", "--after", "1"});
    Tool({"fault", "0", "remove-after", "C_GetAttributeValue", "1"});
    CK_OBJECT_HANDLE handles[4];
    CK_ULONG count = 77;
    ASSERT_EQ(CKR_OK, C_FindObjectsInit(session, nullptr, 0));
    ASSERT_EQ(CKR_OK, C_FindObjects(session, handles, 4, &count));
    EXPECT_EQ(1u, count);
    count = 77;
    EXPECT_EQ(CKR_DEVICE_ERROR, C_FindObjects(session, handles, 4, &count));
    EXPECT_EQ(77u, count) << "a forced result leaves the out arguments alone";
    EXPECT_EQ(CKR_OK, C_FindObjectsFinal(session));

    CK_BYTE value[16];
    CK_ATTRIBUTE read[] = {{CKA_VALUE, value, sizeof value}};
    EXPECT_EQ(CKR_OK, C_GetAttributeValue(session, handles[0], read, 1));
    // The token went away after that call: its sessions went with it.
    EXPECT_EQ(CKR_DEVICE_REMOVED, C_GetAttributeValue(session, handles[0], read, 1));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, C_CloseSession(session));
    EXPECT_EQ(std::vector<CK_SLOT_ID>(), SlotList(CK_TRUE));
    EXPECT_NE(std::string::npos, Tool({"list", "0"}).find("class=certificate id=61"));
}

TEST_F(TokenObjects, JournalShowsSessionsOpenedAndClosed)
{
    CK_SESSION_HANDLE session = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    CreateCertificate(session, "a", "cert");
    ASSERT_EQ(CKR_OK, C_FindObjectsInit(session, nullptr, 0));
    CK_OBJECT_HANDLE handles[128];
    CK_ULONG count = 0;
    C_FindObjects(session, handles, 128, &count);
    C_FindObjectsFinal(session);
    CK_BYTE value[16];
    CK_ATTRIBUTE read[] = {{CKA_VALUE, value, sizeof value}, {CKA_ID, value, sizeof value}};
    C_GetAttributeValue(session, handles[0], read, 2);
    Login(session, "bad");
    C_CloseSession(session);
    C_CloseAllSessions(0);
    C_Finalize(nullptr);
    std::string s = std::to_string(session), h = std::to_string(handles[0]);
    EXPECT_EQ(std::vector<std::string>({
                  "C_Initialize rv=0x0",
                  "C_OpenSession slot=0 flags=0x6 session=" + s + " rv=0x0",
                  "C_CreateObject session=" + s + " object=" + h + " rv=0x0",
                  "C_FindObjectsInit session=" + s + " attributes=0 rv=0x0",
                  "C_FindObjects session=" + s + " max=128 count=1 rv=0x0",
                  "C_FindObjectsFinal session=" + s + " rv=0x0",
                  "C_GetAttributeValue session=" + s + " object=" + h + " attributes=2 rv=0x0",
                  "C_Login session=" + s + " user=1 rv=0xa0",
                  "C_CloseSession session=" + s + " rv=0x0",
                  "C_CloseAllSessions slot=0 rv=0x0",
                  "C_Finalize rv=0x0",
              }),
              ReadLines(journal));
}

// One lock keeps the store consistent when several threads use the library.
TEST_F(TokenObjects, ThreadsShareTheLibrarySafely)
{
    const int threads = 4, perThread = 15;
    std::vector<std::thread> workers;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            CK_SESSION_HANDLE session = 0;
            if (C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) {
                ++failures[t];
                return;
            }
            for (int i = 0; i < perThread; ++i) {
                std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
                CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                             {CKA_ID, &id[0], id.size()},
                                             {CKA_VALUE, &id[0], id.size()}};
                CK_OBJECT_HANDLE handle = 0, found = 0;
                CK_ULONG count = 0;
                CK_ATTRIBUTE pattern[] = {{CKA_ID, &id[0], id.size()}};
                if (C_CreateObject(session, attributes, 3, &handle) != CKR_OK ||
                    C_FindObjectsInit(session, pattern, 1) != CKR_OK ||
                    C_FindObjects(session, &found, 1, &count) != CKR_OK || C_FindObjectsFinal(session) != CKR_OK ||
                    count != 1 || found != handle)
                    ++failures[t];
            }
            C_CloseSession(session);
        });
    for (auto &worker : workers)
        worker.join();
    EXPECT_EQ(std::vector<int>(threads, 0), failures);
    CK_SESSION_HANDLE session = Open();
    EXPECT_EQ((size_t)(threads * perThread), FindAll(session, nullptr, 0).size());
}

// A figure, not a limit: how long the program's search takes over a token
// full of certificates (every call reads the slot file).
TEST_F(TokenObjects, SearchOverManyCertificatesReadsEachInFull)
{
    CK_SESSION_HANDLE session = Open();
    Handles created;
    for (int i = 0; i < 130; ++i)
        created.push_back(CreateCertificate(session, "id" + std::to_string(i), std::string(2000 + i, (char)i)));
    DWORD start = GetTickCount();
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE handles[128];
    CK_ULONG count = 0;
    ASSERT_EQ(CKR_OK, C_FindObjectsInit(session, pattern, 2));
    ASSERT_EQ(CKR_OK, C_FindObjects(session, handles, 128, &count));
    ASSERT_EQ(CKR_OK, C_FindObjectsFinal(session));
    ASSERT_EQ(128u, count);
    int wrong = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        std::string value(4096, '\0'), id(256, '\0');
        CK_ATTRIBUTE read[] = {{CKA_VALUE, &value[0], 4096}, {CKA_ID, &id[0], 256}};
        if (C_GetAttributeValue(session, handles[i], read, 2) != CKR_OK || read[0].ulValueLen != 2000 + i ||
            value.substr(0, read[0].ulValueLen) != std::string(2000 + i, (char)i) ||
            id.substr(0, read[1].ulValueLen) != "id" + std::to_string(i))
            ++wrong;
    }
    EXPECT_EQ(0, wrong);
    printf("search over 130 certificates of about 2000 bytes: %lu ms\n", GetTickCount() - start);
}
