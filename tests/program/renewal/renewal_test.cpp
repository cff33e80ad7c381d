// One renewal of the chosen certificate, hosted from the program's library,
// against the stand-in token and testca: the complete renewal, every failure
// of it, and the records that must never be renewed.
#include <winsock2.h>
#include <windows.h>

#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <set>

#include "cert/cert_record.h"
#include "program/renewal/renewal_fixture.h"
#include "support/server_port.h"
#include "support/unix_command.h"
#include "renewal/server_exchange.h"
#include "token/pin_dialog.h"

namespace {

const wchar_t errorCaption[] = L"Ошибка";
const wchar_t networkError[] = L"При работе с сетевыми ресурсами возникла ошибка.";
const wchar_t noServer[] = L"Не удалось связаться с сервером продления сертификатов.";

std::string Field(const std::string &line, const std::string &key)
{
    size_t at = line.find("\t" + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return line.substr(at, line.find('\t', at) - at);
}

// The OID=value items of a subject as the CA's journal writes it, in any
// order.
std::multiset<std::string> SubjectItems(const std::string &subject)
{
    std::multiset<std::string> items;
    size_t start = 0;
    while (start < subject.size()) {
        size_t end = subject.find(", ", start);
        if (end == std::string::npos)
            end = subject.size();
        items.insert(subject.substr(start, end - start));
        start = end + 2;
    }
    return items;
}

bool PinWiped()
{
    for (char c : pinBuffer)
        if (c != 0)
            return false;
    return true;
}

// The token holds just what it held before the renewal.
#define EXPECT_TOKEN_UNCHANGED()                                                   \
    do {                                                                           \
        std::vector<TokenObject> now = Objects();                                  \
        ASSERT_EQ(before.size(), now.size());                                      \
        for (size_t i = 0; i < now.size(); ++i) {                                  \
            EXPECT_EQ(before[i].handle, now[i].handle);                            \
            EXPECT_EQ(before[i].idHex, now[i].idHex);                              \
        }                                                                          \
    } while (0)

// The new key pair is on the token beside the untouched old objects.
void ExpectNewPairBesideOld(const std::vector<TokenObject> &fresh, size_t oldCount)
{
    ASSERT_EQ(2u, fresh.size());
    EXPECT_EQ(fresh[0].idHex, fresh[1].idHex);
    EXPECT_EQ(54u, fresh[0].idHex.size());  // 27 bytes
    EXPECT_EQ(3u, oldCount);
}

TEST_F(RenewalTest, CompleteRenewalReplacesTheCertificateAndKeyPair)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    screenshots = "renewal-complete";
    RenewalOutcome outcome = Renew();

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.pinAsked);
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(13, outcome.progressMax);
    ASSERT_EQ(1u, outcome.boxes.size());
    EXPECT_EQ(L"Новый сертификат", outcome.boxes[0].caption);
    EXPECT_EQ(L"Сертификат был успешно обновлен.", outcome.boxes[0].text);
    EXPECT_EQ(13, outcome.boxes[0].progress);
    EXPECT_TRUE(outcome.boxes[0].ownedByProgress);
    ASSERT_NE(0u, outcome.fullBarAt);
    EXPECT_GE(outcome.lastBoxAt - outcome.fullBarAt, 900u) << "the full bar stands a second before the box";
    EXPECT_TRUE(PinWiped());

    // The new key pair and the certificate labelled EGAIS, all under one new
    // identifier: stamp, hyphen, the holder's INN; nothing of the old.
    EXPECT_TRUE(WithId(ToHexText(oldId)).empty());
    std::vector<TokenObject> fresh = Objects();
    ASSERT_EQ(3u, fresh.size());
    std::string newId = FromHexText(fresh[0].idHex);
    ASSERT_EQ(27u, newId.size());
    EXPECT_EQ("-007712345678", newId.substr(14));
    int certificates = 0, publicKeys = 0, privateKeys = 0;
    TokenObject certificate;
    for (const auto &object : fresh) {
        EXPECT_EQ(fresh[0].idHex, object.idHex);
        if (object.objectClass == "certificate") {
            ++certificates;
            certificate = object;
            EXPECT_EQ("EGAIS", object.label);
        }
        publicKeys += object.objectClass == "public-key";
        privateKeys += object.objectClass == "private-key";
    }
    EXPECT_EQ(1, certificates);
    EXPECT_EQ(1, publicKeys);
    EXPECT_EQ(1, privateKeys);

    // Both requests were signed by the old certificate; the request named the
    // old certificate's holder.
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());
    EXPECT_EQ("payment", Field(exchanges[0], "kind"));
    EXPECT_EQ("yes", Field(exchanges[0], "paid"));
    EXPECT_EQ(oldSerial, Field(exchanges[0], "signer-serial"));
    EXPECT_EQ("certificate", Field(exchanges[1], "kind"));
    EXPECT_EQ("passed", Field(exchanges[1], "checks"));
    EXPECT_EQ(oldSerial, Field(exchanges[1], "signer-serial"));
    EXPECT_FALSE(Field(exchanges[1], "request-subject").empty());
    EXPECT_EQ(10u, SubjectItems(Field(exchanges[1], "signer-subject")).size());
    EXPECT_EQ(SubjectItems(Field(exchanges[1], "signer-subject")),
              SubjectItems(Field(exchanges[1], "request-subject")));

    // The stored certificate is the one issued, valid 13 months.
    std::string issued, stored;
    ASSERT_TRUE(ReadFileBytes(caDir + "/issued/" + Field(exchanges[1], "issued-serial") + ".der", issued));
    Tool({"dump", "0", std::to_string(certificate.handle), "--out", dir + "/new.der"});
    ASSERT_TRUE(ReadFileBytes(dir + "/new.der", stored));
    EXPECT_EQ(issued, stored);
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)stored.data(),
                                                          (DWORD)stored.size());
    ASSERT_NE(nullptr, context);
    SYSTEMTIME from, to;
    FileTimeToSystemTime(&context->pCertInfo->NotBefore, &from);
    FileTimeToSystemTime(&context->pCertInfo->NotAfter, &to);
    CertFreeCertificateContext(context);
    EXPECT_EQ(13, (to.wYear - from.wYear) * 12 + to.wMonth - from.wMonth);

    // The session was logged out and closed.
    EXPECT_TRUE(JournalHas("C_Logout"));
    EXPECT_TRUE(JournalHas("C_CloseSession"));

    DWORD wall = outcome.lastBoxAt - outcome.pinAnsweredAt;
    printf("complete renewal: %lu ms from the PIN to the success box, %lu ms without the fixed 1 s wait\n",
           (unsigned long)wall, (unsigned long)(wall - 1000));
    RecordProperty("renewal_ms_without_fixed_waits", (int)(wall - 1000));
}

TEST_F(RenewalTest, CancelledPinEndsAtOnceWithoutTouchingTheToken)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    RenewalOutcome outcome = Renew(true);
    EXPECT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.pinAsked);
    EXPECT_EQ(0, outcome.result);
    EXPECT_TRUE(outcome.boxes.empty());
    EXPECT_FALSE(JournalHas("C_OpenSession"));
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, WrongPinIsReportedByTheLoginAndTheSessionClosed)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    RenewalOutcome outcome = Renew(false, L"4321");
    ExpectOneError(outcome, L"C_Login", L"Неверный PIN-код", 1);
    EXPECT_TRUE(JournalHas("C_CloseSession"));
    EXPECT_FALSE(JournalHas("C_Logout"));
    EXPECT_FALSE(JournalHas("pkcs7Sign"));
    EXPECT_TRUE(PinWiped());
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, LockedPinIsReportedByTheLogin)
{
    // One try left: the wrong PIN uses it up and locks the token.
    ASSERT_NO_FATAL_FAILURE(MakeHolder(true, 1));
    ChooseCertificate(oldId);
    RenewalOutcome outcome = Renew(false, L"0000");
    ExpectOneError(outcome, L"C_Login", L"PIN-код заблокирован", 1);
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, CertificateGoneFromTheTokenIsNotFound)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    // The record of a certificate that an earlier renewal replaced.
    ChooseCertificate("20241001000000-007712345678");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, L"Сертификат не найден", 5);
    EXPECT_TRUE(CaJournal().empty());
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, TwoCertificatesWithOneIdentifierAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"import-cert", "0", "--id", ToHexText(oldId), "--label", "Copy", "--file", dir + "/old.der"});
    before = Objects();
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, L"Найдено более одного сертификата", 5);
    EXPECT_TRUE(CaJournal().empty());
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, PaymentRequestSigningFails)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "pkcs7Sign", "0x5"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка при подписании запроса на оплату", L"CKR_GENERAL_ERROR", 5);
    EXPECT_TRUE(CaJournal().empty());
    EXPECT_TRUE(JournalHas("C_Logout"));
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, ServerNotListening)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    portHolder = HoldServerPortClosed(dir + "/port-holder.log");
    ASSERT_NE(0, portHolder);
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, noServer, 6);
    EXPECT_GE(outcome.lastBoxAt - outcome.pinAnsweredAt, 4900u) << "five attempts a second apart";
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, UnpaidRenewalIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder(false));
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, L"Продление сертификата не оплачено.", 7);
    ASSERT_EQ(1u, CaJournal().size());
    EXPECT_EQ("no", Field(CaJournal()[0], "paid"));
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, NothingReceivedForThePaymentRequest)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"close:pay"}));
    screenshots = "renewal-nothing-received";
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption,
                   L"Не удалось отправить запрос на сервер.\nВозможно исходящий трафик блокируется сетевым экраном.", 7);
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, SevenBytePaymentReplyIsUnexpected)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"short:7:pay"}));
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption,
                   L"Неожиданный ответ сервера либо соединение было разорвано.\n"
                   L"Возможно Вы используете устаревшую версию программы для продления.",
                   7);
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, KeyPairGenerationFails)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "C_GenerateKeyPair", "0x31"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка генерации новой ключевой пары", L"CKR_DEVICE_MEMORY", 7);
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, RequestBuildingFailsAndTheNewPairStays)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "createCSR", "0x6"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка формирования запроса на сертификат", L"CKR_FUNCTION_FAILED", 8);
    ExpectNewPairBesideOld(NewObjects(), WithId(ToHexText(oldId)).size());
}

TEST_F(RenewalTest, CertificateRequestSigningFailsAndTheNewPairStays)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "pkcs7Sign", "0x5", "--after", "1"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка при подписании запроса на сертификат", L"CKR_GENERAL_ERROR", 9);
    ASSERT_EQ(1u, CaJournal().size());
    ExpectNewPairBesideOld(NewObjects(), WithId(ToHexText(oldId)).size());
}

// A certificate reply that must not replace the old certificate, whatever
// form the token gives the new public key in: the new pair goes, the old
// certificate and key stay.
struct RefusedReply {
    const char *fault;
    bool publicValueDer;
    const char *name;
};

class RefusedCertificateReply : public RenewalTest, public ::testing::WithParamInterface<RefusedReply> {};

TEST_P(RefusedCertificateReply, RemovesTheNewPairAndKeepsTheOld)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    if (GetParam().publicValueDer)
        Tool({"fault", "0", "public-value-der"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({GetParam().fault}));
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, networkError, 10);
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());
    EXPECT_EQ("passed", Field(exchanges[1], "checks"));
    EXPECT_NE("0", Field(exchanges[1], "answered"));
    EXPECT_TOKEN_UNCHANGED();
    EXPECT_FALSE(JournalHas("C_CreateObject"));
}

INSTANTIATE_TEST_SUITE_P(Replies, RefusedCertificateReply,
                         ::testing::Values(RefusedReply{"cert-128", false, "Only128Bytes"},
                                           RefusedReply{"garbage:cert", false, "TwoHundredBytesNotACertificate"},
                                           RefusedReply{"other-key", false, "CertificateForAnotherKey"},
                                           RefusedReply{"other-key", true, "CertificateForAnotherKeyTokenKeyInDer"}),
                         [](const ::testing::TestParamInfo<RefusedReply> &info) {
                             return std::string(info.param.name);
                         });

// A token that gives its public keys in the DER form: the reply is judged by
// the request, so the renewal goes through.
TEST_F(RenewalTest, TokenGivingThePublicKeyInDerFormStillRenews)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "public-value-der"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(1, outcome.result);
    ASSERT_EQ(1u, outcome.boxes.size());
    EXPECT_EQ(L"Сертификат был успешно обновлен.", outcome.boxes[0].text);
    EXPECT_TRUE(WithId(ToHexText(oldId)).empty());

    // The token really gave the new key in that form.
    std::vector<TokenObject> fresh = NewObjects();
    ASSERT_EQ(3u, fresh.size());
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(CKR_OK, C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
    CK_BYTE value[128];
    std::string keyValue;
    for (const auto &object : fresh)
        if (object.objectClass == "public-key") {
            CK_ATTRIBUTE attribute = {CKA_VALUE, value, sizeof value};
            EXPECT_EQ(CKR_OK, C_GetAttributeValue(session, object.handle, &attribute, 1));
            keyValue.assign((const char *)value, attribute.ulValueLen);
        }
    C_CloseSession(session);
    ASSERT_EQ(66u, keyValue.size());
    EXPECT_EQ(std::string("\x04\x40", 2), keyValue.substr(0, 2));
}

// A server that never ends its answer, by silence or by flood, on either
// exchange: one box, result 0, the old certificate and key kept (the new
// pair removed), and the flood's memory given back.
struct EndlessServer {
    const char *fault;
    const wchar_t *text;
    int progress;
    const char *name;
};

class EndlessServerReply : public RenewalTest, public ::testing::WithParamInterface<EndlessServer> {};

TEST_P(EndlessServerReply, EndsTheRenewalAndKeepsTheOld)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({GetParam().fault}));
    serverSilenceLimitMs = 1500;
    PROCESS_MEMORY_COUNTERS memoryBefore = {}, memoryAfter = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &memoryBefore, sizeof memoryBefore);
    RenewalOutcome outcome = Renew();
    GetProcessMemoryInfo(GetCurrentProcess(), &memoryAfter, sizeof memoryAfter);
    ExpectOneError(outcome, errorCaption, GetParam().text, GetParam().progress);
    EXPECT_TOKEN_UNCHANGED();
    long long growth = (long long)memoryAfter.PagefileUsage - (long long)memoryBefore.PagefileUsage;
    printf("[ memory  ] %s: committed %lu -> %lu bytes (%+lld)\n", GetParam().fault,
           (unsigned long)memoryBefore.PagefileUsage, (unsigned long)memoryAfter.PagefileUsage, growth);
    EXPECT_LT(growth, (long long)MAX_REPLY_LENGTH);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, EndlessServerReply,
    ::testing::Values(
        EndlessServer{"slow:4:pay",
                      L"Не удалось отправить запрос на сервер.\nВозможно исходящий трафик блокируется сетевым экраном.", 7,
                      "SilentOnPayment"},
        EndlessServer{"slow:4:cert", networkError, 10, "SilentOnCertificate"},
        EndlessServer{"flood:pay", networkError, 6, "FloodOnPayment"},
        EndlessServer{"flood:cert", networkError, 10, "FloodOnCertificate"}),
    [](const ::testing::TestParamInfo<EndlessServer> &info) { return std::string(info.param.name); });

TEST_F(RenewalTest, NoCertificateReplyRemovesTheNewPair)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"close:cert"}));
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, errorCaption, networkError, 10);
    EXPECT_TOKEN_UNCHANGED();
}

std::wstring DocumentsFolder()
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// Whole files by Windows path: the user's Documents are not under Z:.
bool ReadWindowsFile(const std::wstring &path, std::string &bytes)
{
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return false;
    bytes.clear();
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.append(buffer, n);
    fclose(file);
    return true;
}

// The token refuses the issued certificate: after C_CreateObject's box
// without owner, a second box tells where the certificate was kept (or,
// when Documents\Kestrava cannot be made, that it could not be); the old
// objects and the new pair stay.
class RefusedCertificateObject : public RenewalTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedCertificateObject, KeepsTheIssuedCertificateInAFile)
{
    bool writable = GetParam();
    std::wstring folder = DocumentsFolder() + L"\\Kestrava";
    std::wstring aside = folder + L".aside-" + std::to_wstring(GetTickCount());
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "C_CreateObject", "0x31"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    if (!writable) {
        // A file where the folder would go.
        MoveFileW(folder.c_str(), aside.c_str());
        FILE *blocker = _wfopen(folder.c_str(), L"wb");
        ASSERT_NE(nullptr, blocker);
        fclose(blocker);
    }
    RenewalOutcome outcome = Renew();
    if (!writable) {
        DeleteFileW(folder.c_str());
        MoveFileW(aside.c_str(), folder.c_str());
    }

    EXPECT_EQ(0, outcome.result);
    ASSERT_EQ(2u, outcome.boxes.size());
    EXPECT_EQ(L"C_CreateObject", outcome.boxes[0].caption);
    EXPECT_EQ(L"CKR_DEVICE_MEMORY", outcome.boxes[0].text);
    EXPECT_EQ(11, outcome.boxes[0].progress);
    EXPECT_EQ(nullptr, outcome.boxes[0].owner);
    EXPECT_EQ(L"Внимание", outcome.boxes[1].caption);
    EXPECT_TRUE(outcome.boxes[1].ownedByProgress);
    std::vector<TokenObject> fresh = NewObjects();
    ExpectNewPairBesideOld(fresh, WithId(ToHexText(oldId)).size());
    if (!writable) {
        EXPECT_EQ(L"Новый сертификат выпущен, но записать его на носитель и сохранить в файл не удалось.\n"
                  L"Обратитесь в удостоверяющий центр.",
                  outcome.boxes[1].text);
        return;
    }
    ASSERT_FALSE(fresh.empty());
    std::string newId = FromHexText(fresh[0].idHex);
    std::wstring file = folder + L"\\" + Widen(newId.substr(0, newId.find('\0'))) + L".cer";
    EXPECT_EQ(L"Новый сертификат выпущен, но записать его на носитель не удалось.\nОн сохранён в файле:\n" + file +
                  L"\nОбратитесь в удостоверяющий центр: ключевая пара для него осталась на носителе.",
              outcome.boxes[1].text);
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());
    std::string issued, saved;
    ASSERT_TRUE(ReadFileBytes(caDir + "/issued/" + Field(exchanges[1], "issued-serial") + ".der", issued));
    EXPECT_TRUE(ReadWindowsFile(file, saved));
    EXPECT_EQ(issued, saved);
    DeleteFileW(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Documents, RefusedCertificateObject, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Writable" : "NotWritable");
                         });

// Records that must never reach the token: nothing chosen, a certificate
// that did not decode, an empty identifier.
TEST_F(RenewalTest, NothingChosenIsNotRenewed)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    selectedIndex = -1;
    RenewalOutcome outcome = Renew();
    EXPECT_FALSE(outcome.pinAsked);
    ExpectOneError(outcome, errorCaption, L"Сертификат для продления не выбран.", 0);
    EXPECT_FALSE(JournalHas("C_OpenSession"));
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, RecordWithoutCertificateIsNotRenewed)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    // What the search keeps for a certificate value that does not decode.
    unsigned char ckaID[256] = {};
    memcpy(ckaID, oldId.data(), oldId.size());
    CertRecord record(nullptr, 0, ckaID, (CK_ULONG)oldId.size());
    certList.add(record);
    selectedIndex = 0;
    RenewalOutcome outcome = Renew();
    EXPECT_FALSE(outcome.pinAsked);
    ExpectOneError(outcome, errorCaption,
                   L"Выбранный объект носителя не удалось прочитать как сертификат: срок его действия "
                   L"неизвестен.\nПродлить его нельзя.",
                   0);
    EXPECT_FALSE(JournalHas("C_OpenSession"));
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, RecordWithEmptyIdentifierIsNotRenewed)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate("");
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    EXPECT_FALSE(outcome.pinAsked);
    ExpectOneError(outcome, errorCaption,
                   L"Сертификат на носителе не имеет идентификатора, поэтому его нельзя продлить.", 0);
    EXPECT_FALSE(JournalHas("C_OpenSession"));
    EXPECT_TRUE(CaJournal().empty());
    EXPECT_TOKEN_UNCHANGED();
}

}  // namespace
