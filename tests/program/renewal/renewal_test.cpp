// One renewal of the chosen certificate, hosted from the program's library,
// against the stand-in token and testca: the complete renewal, every failure
// of it, and the records that must never be renewed.
#include <winsock2.h>
#include <windows.h>

#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "cert/cert_record.h"
#include "program/renewal/renewal_fixture.h"
#include "support/server_port.h"
#include "support/unix_command.h"
#include "support/user_store.h"
#include "renewal/formats.h"
#include "renewal/server_exchange.h"
#include "token/pin_dialog.h"

namespace {

const wchar_t errorCaption[] = L"Ошибка";
const wchar_t networkError[] = L"При работе с сетевыми ресурсами возникла ошибка.";
const wchar_t noServer[] = L"Не удалось связаться с сервером продления сертификатов.";
// The box when the answer's certificate was not signed by the holder's
// centre: the first line, then where the certificate was saved, or not.
const std::wstring unchecked =
    L"Полученный сертификат не удалось проверить: он не подписан удостоверяющим центром, выдавшим текущий "
    L"сертификат, или сертификат этого центра не установлен на компьютере.\n";
std::wstring UncheckedSavedIn(const std::wstring &file)
{
    return unchecked + L"Текущий сертификат и его ключ остались на носителе. Полученный сертификат сохранён в файле:\n" +
           file +
           L"\nЕсли удостоверяющий центр подтвердит, что выпустил его, установите сертификат центра или запишите "
           L"этот сертификат командой «Записать сертификат из файла» в меню программы.";
}
const std::wstring uncheckedNotSaved =
    unchecked + L"Текущий сертификат и его ключ остались на носителе. Обратитесь в удостоверяющий центр.";

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

// The token's tries, read before the PIN is asked for: a locked token gets
// one box and nothing more, and before its last try the holder decides.
struct PinTriesRow {
    const char *name;
    bool locked;  // a renewal with a wrong PIN used up the token's one try before
    int answer;   // to the question before the last try
    const wchar_t *pin;
    const wchar_t *then;  // the text of the box after the question; null: none
    INT_PTR result;
};

class PinTries : public RenewalTest, public ::testing::WithParamInterface<PinTriesRow> {};

TEST_P(PinTries, LockedTokenIsLeftAloneAndTheLastTryAsked)
{
    const PinTriesRow &row = GetParam();
    ASSERT_NO_FATAL_FAILURE(MakeHolder(true, 1));
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    answer = IDYES;
    if (row.locked)
        Renew(false, L"0000");
    answer = row.answer;
    size_t journalBefore = TokenJournal().size();
    RenewalOutcome outcome = Renew(false, row.pin);

    EXPECT_EQ(row.result, outcome.result);
    ASSERT_EQ(row.then ? 2u : 1u, outcome.boxes.size());
    EXPECT_EQ(row.locked ? L"Внимание" : L"Внимание!", outcome.boxes[0].caption);
    EXPECT_EQ(row.locked ? L"PIN-код пользователя на токене заблокирован.\nПродление невозможно: обратитесь в "
                           L"удостоверяющий центр, чтобы разблокировать токен."
                         : L"Осталась последняя попытка ввода PIN-кода.\nЕсли ввести неверный PIN-код, токен будет "
                           L"заблокирован.\n\nПродолжить?",
              outcome.boxes[0].text);
    EXPECT_TRUE(outcome.boxes[0].ownedByProgress);
    EXPECT_EQ(!row.locked, outcome.boxes[0].noByDefault);
    EXPECT_EQ(row.then != nullptr, outcome.pinAsked);
    if (row.then)
        EXPECT_EQ(row.then, outcome.boxes[1].text);
    if (row.result) {
        EXPECT_EQ(3u, NewObjects().size());
        return;
    }
    EXPECT_TOKEN_UNCHANGED();
    std::vector<std::string> journal = TokenJournal();
    for (size_t i = journalBefore; i < journal.size() && !row.then; ++i)
        EXPECT_TRUE(journal[i].rfind("C_Login ", 0) && journal[i].rfind("C_OpenSession ", 0)) << journal[i];
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, PinTries,
    ::testing::Values(PinTriesRow{"Locked", true, IDOK, L"1234", nullptr, 0},
                      PinTriesRow{"FinalTryNo", false, IDNO, L"1234", nullptr, 0},
                      PinTriesRow{"FinalTryYes", false, IDYES, L"1234", L"Сертификат был успешно обновлен.", 1},
                      // The wrong PIN uses the last try up: the login says so.
                      PinTriesRow{"FinalTryYesWrongPin", false, IDYES, L"0000", L"PIN-код заблокирован", 0}),
    [](const ::testing::TestParamInfo<PinTriesRow> &info) { return std::string(info.param.name); });

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

TEST_F(RenewalTest, RequestBuildingFailsAndTheNewPairGoes)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "createCSR", "0x6"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка формирования запроса на сертификат", L"CKR_FUNCTION_FAILED", 8);
    EXPECT_TOKEN_UNCHANGED();
}

TEST_F(RenewalTest, CertificateRequestSigningFailsAndTheNewPairGoes)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "pkcs7Sign", "0x5", "--after", "1"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка при подписании запроса на сертификат", L"CKR_GENERAL_ERROR", 9);
    ASSERT_EQ(1u, CaJournal().size());
    EXPECT_TOKEN_UNCHANGED();
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
                         ::testing::Values(RefusedReply{"garbage:cert", false, "TwoHundredBytesNotACertificate"},
                                           RefusedReply{"short:1:cert", false, "OneByteLikeTheTextZero"},
                                           RefusedReply{"other-key", false, "CertificateForAnotherKey"},
                                           RefusedReply{"other-key", true, "CertificateForAnotherKeyTokenKeyInDer"}),
                         [](const ::testing::TestParamInfo<RefusedReply> &info) {
                             return std::string(info.param.name);
                         });

// The token is taken out once the request is built: the new pair cannot be
// removed and stays, and the failed signing's box is the run's one box (the
// removal's failed searches show none).
TEST_F(RenewalTest, TokenTakenOutAfterTheRequestShowsOnlyTheStepsBox)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "remove-after", "createCSR"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    RenewalOutcome outcome = Renew();
    ExpectOneError(outcome, L"Ошибка при подписании запроса на сертификат", L"CKR_DEVICE_REMOVED", 9);
    EXPECT_EQ(1u, CaJournal().size());
    EXPECT_FALSE(JournalHas("C_DestroyObject"));
    ExpectNewPairBesideOld(NewObjects(), WithId(ToHexText(oldId)).size());
}

// Hands the certificate request (every second request) to the network only
// once the server's reset of its connection has arrived.
int WSAAPI SendAfterTheReset(SOCKET s, const char *buffer, int length, int flags)
{
    static int calls = 0;
    WSAPOLLFD reset = {s, POLLRDNORM, 0};
    if (++calls % 2 == 0)
        WSAPoll(&reset, 1, 10000);
    return send(s, buffer, length, flags);
}

// The connection of the certificate request is reset before the request is
// out: nothing can have been issued for the new pair, so it goes, and the
// boxes are the failed send's and the network error. The server is the
// test's own: it says "paid", then resets the next connection unread.
TEST_F(RenewalTest, CertificateRequestNotSentTakesTheNewPairAway)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {AF_INET, htons(RENEWAL_SERVER_PORT), {}, {}};
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    // The server of an earlier case may hold the port a while longer.
    for (int tries = 0; bind(listener, (sockaddr *)&address, sizeof address) != 0 && tries < 600; ++tries)
        Sleep(100);
    ASSERT_EQ(0, listen(listener, 2));
    std::thread server([listener] {
        SOCKET payment = accept(listener, nullptr, nullptr);
        std::string request;
        char piece[4096];
        for (int n; DerElementLength((const CK_BYTE *)request.data(), (unsigned int)request.size()) == 0 &&
                    (n = recv(payment, piece, sizeof piece, 0)) > 0;)
            request.append(piece, n);
        send(payment, "MsgF0\x00\x03\x01", 8, 0);
        closesocket(payment);
        SOCKET certificate = accept(listener, nullptr, nullptr);
        linger hard = {1, 0};
        setsockopt(certificate, SOL_SOCKET, SO_LINGER, (const char *)&hard, sizeof hard);
        closesocket(certificate);
    });
    sendRequest = SendAfterTheReset;
    RenewalOutcome outcome = Renew();
    sendRequest = send;
    closesocket(listener);
    server.join();

    ASSERT_EQ(2u, outcome.boxes.size());
    EXPECT_EQ(errorCaption, outcome.boxes[0].caption);
    EXPECT_EQ(Widen(SendErrorText(WSAECONNRESET)), outcome.boxes[0].text);
    EXPECT_EQ(errorCaption, outcome.boxes[1].caption);
    EXPECT_EQ(networkError, outcome.boxes[1].text);
    EXPECT_EQ(10, outcome.boxes[1].progress);
    EXPECT_EQ(0, outcome.result);
    EXPECT_TOKEN_UNCHANGED();
}

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

// A server that never ends its answer, by silence or by flood on the
// payment: one box, result 0, the old certificate and key kept, and the
// flood's memory given back.
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
        EndlessServer{"flood:pay", networkError, 6, "FloodOnPayment"}),
    [](const ::testing::TestParamInfo<EndlessServer> &info) { return std::string(info.param.name); });

// The certificate request went out whole and the server fell silent: the
// centre may have issued the certificate, so the new pair stays for it and
// the one box tells the holder what to do (the other lost answers are cells
// of the fault matrix). The PIN is wiped while the exchange holds the
// renewal, not only at its end.
TEST_F(RenewalTest, SilenceAfterTheCertificateRequestKeepsTheNewPair)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"slow:4:cert"}));
    serverSilenceLimitMs = 1500;
    screenshots = "renewal-pair-kept";
    RenewalOutcome outcome = Renew();
    EXPECT_EQ(0, outcome.result);
    EXPECT_FALSE(outcome.pinAfterLogin);
    ExpectOneError(outcome, L"Внимание",
                   L"Удостоверяющий центр мог выпустить новый сертификат, но ответ не получен.\n"
                   L"Новая ключевая пара оставлена на носителе. Получите файл сертификата в удостоверяющем центре и "
                   L"запишите его на носитель командой «Записать сертификат из файла» в меню программы.",
                   10);
    ExpectNewPairBesideOld(NewObjects(), WithId(ToHexText(oldId)).size());
}

// A centre that answers the certificate request after 45 seconds of silence,
// within the silence limit: the renewal, under the program's own deadline for
// a whole exchange, waits for the answer and stores the certificate.
TEST_F(RenewalTest, AnswerAfterALongSilenceRenews)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"slow:45:cert"}));
    RenewalOutcome outcome = Renew();
    EXPECT_EQ(1, outcome.result);
    ASSERT_EQ(1u, outcome.boxes.size());
    EXPECT_EQ(L"Сертификат был успешно обновлен.", outcome.boxes[0].text);
    EXPECT_TRUE(WithId(ToHexText(oldId)).empty());
    EXPECT_EQ(3u, NewObjects().size());
}

std::wstring UserFolder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// Whole files by Windows path: the user's folders are not under Z:.
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

// A place that cannot take the file while it lives: a file named Kestrava
// where the folder would be, or the temporary folder (TMP) somewhere that
// does not exist.
struct BlockedPlace {
    std::wstring folder, aside;
    wchar_t tmp[MAX_PATH] = L"";
    bool temporary = false, hadTmp = false;
    explicit BlockedPlace(const std::wstring &kestravaFolder) : folder(kestravaFolder)
    {
        if (folder.empty()) {
            temporary = true;
            hadTmp = GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH) > 0;
            SetEnvironmentVariableW(L"TMP", L"C:\\no such folder");
            return;
        }
        aside = folder + L".aside-" + std::to_wstring(GetTickCount());
        MoveFileW(folder.c_str(), aside.c_str());
        FILE *blocker = _wfopen(folder.c_str(), L"wb");
        EXPECT_NE(nullptr, blocker);
        if (blocker)
            fclose(blocker);
    }
    ~BlockedPlace()
    {
        if (temporary) {
            SetEnvironmentVariableW(L"TMP", hadTmp ? tmp : nullptr);
            return;
        }
        DeleteFileW(folder.c_str());
        MoveFileW(aside.c_str(), folder.c_str());
    }
};

// The token refuses the issued certificate: the certificate is saved before
// the first box, in Documents\Kestrava, else %LOCALAPPDATA%\Kestrava, else
// the temporary folder; then C_CreateObject's box without owner, and a second
// box that tells where it is (or that it could not be saved). The old
// objects and the new pair stay. The parameter: how many places, in that
// order, cannot take the file.
class RefusedCertificateObject : public RenewalTest, public ::testing::WithParamInterface<int> {};

TEST_P(RefusedCertificateObject, SavesTheIssuedCertificateBeforeAnyBox)
{
    wchar_t temporary[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temporary);
    std::wstring places[] = {UserFolder(CSIDL_PERSONAL) + L"\\Kestrava", UserFolder(CSIDL_LOCAL_APPDATA) + L"\\Kestrava",
                             std::wstring(temporary, wcslen(temporary) - 1)};
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    Tool({"fault", "0", "C_CreateObject", "0x31"});
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer());
    std::vector<std::unique_ptr<BlockedPlace>> blocked;
    for (int i = 0; i < GetParam(); ++i)
        blocked.emplace_back(new BlockedPlace(i < 2 ? places[i] : L""));
    std::wstring file;  // where the certificate should be
    bool savedBeforeBox = false;
    onBox = [&](const ShownBox &box) {
        std::vector<TokenObject> fresh = NewObjects();
        if (box.caption != L"C_CreateObject" || fresh.empty() || GetParam() >= 3)
            return;
        std::string newId = FromHexText(fresh[0].idHex);
        file = places[GetParam()] + L"\\" + Widen(newId.substr(0, newId.find('\0'))) + L".cer";
        savedBeforeBox = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    RenewalOutcome outcome = Renew();
    blocked.clear();

    EXPECT_EQ(0, outcome.result);
    ASSERT_EQ(2u, outcome.boxes.size());
    EXPECT_EQ(L"C_CreateObject", outcome.boxes[0].caption);
    EXPECT_EQ(L"CKR_DEVICE_MEMORY", outcome.boxes[0].text);
    EXPECT_EQ(11, outcome.boxes[0].progress);
    EXPECT_EQ(nullptr, outcome.boxes[0].owner);
    EXPECT_EQ(L"Внимание", outcome.boxes[1].caption);
    EXPECT_TRUE(outcome.boxes[1].ownedByProgress);
    ExpectNewPairBesideOld(NewObjects(), WithId(ToHexText(oldId)).size());
    if (GetParam() >= 3) {
        EXPECT_EQ(L"Новый сертификат выпущен, но записать его на носитель и сохранить в файл не удалось.\n"
                  L"Обратитесь в удостоверяющий центр.",
                  outcome.boxes[1].text);
        return;
    }
    EXPECT_TRUE(savedBeforeBox) << UnixPath(file);
    EXPECT_EQ(L"Новый сертификат выпущен, но записать его на носитель не удалось.\nОн сохранён в файле:\n" + file +
                  L"\nКлючевая пара для него осталась на носителе. Когда на носителе будет место, запишите "
                  L"сертификат командой «Записать сертификат из файла» в меню программы.",
              outcome.boxes[1].text);
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());
    std::string issued, saved;
    ASSERT_TRUE(ReadFileBytes(caDir + "/issued/" + Field(exchanges[1], "issued-serial") + ".der", issued));
    EXPECT_TRUE(ReadWindowsFile(file, saved));
    EXPECT_EQ(issued, saved);
    DeleteFileW(file.c_str());
}

std::string PlaceName(const ::testing::TestParamInfo<int> &info)
{
    const char *names[] = {"Documents", "LocalAppData", "Temporary", "Nowhere"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Places, RefusedCertificateObject, ::testing::Values(0, 1, 2, 3), PlaceName);

// The file an unchecked certificate of this run is saved in, first choice.
std::wstring SavedFileOf(const std::vector<TokenObject> &fresh)
{
    if (fresh.empty())
        return L"";
    std::string newId = FromHexText(fresh[0].idHex);
    return UserFolder(CSIDL_PERSONAL) + L"\\Kestrava\\" + Widen(newId.substr(0, newId.find('\0'))) + L".cer";
}

// After a certificate that the holder's centre did not sign: the old objects
// exactly as they were, the new pair beside them, no certificate stored.
#define EXPECT_OLD_KEPT_AND_NEW_PAIR()                                               \
    do {                                                                             \
        std::vector<TokenObject> old = WithId(ToHexText(oldId));                     \
        ASSERT_EQ(before.size(), old.size());                                        \
        for (size_t i = 0; i < old.size(); ++i)                                      \
            EXPECT_EQ(before[i].handle, old[i].handle);                              \
        ExpectNewPairBesideOld(NewObjects(), old.size());                            \
        EXPECT_FALSE(JournalHas("C_CreateObject"));                                  \
        EXPECT_FALSE(JournalHas("C_DestroyObject"));                                 \
    } while (0)

// Whoever answers on the connection hands back a certificate for the new key
// under the centre's name, signed by a key of its own: nothing old is
// touched, the certificate goes to a file before the one box (or the box
// says it could not be saved), and the new pair stays for it. The
// parameter: no place takes the file.
class ForgedCertificateReply : public RenewalTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ForgedCertificateReply, KeepsTheOldCertificateAndTheAnswerInAFile)
{
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({"forged"}));
    std::vector<std::unique_ptr<BlockedPlace>> blocked;
    if (GetParam()) {
        blocked.emplace_back(new BlockedPlace(UserFolder(CSIDL_PERSONAL) + L"\\Kestrava"));
        blocked.emplace_back(new BlockedPlace(UserFolder(CSIDL_LOCAL_APPDATA) + L"\\Kestrava"));
        blocked.emplace_back(new BlockedPlace(L""));
    }
    std::wstring file;
    bool savedBeforeBox = false;
    onBox = [&](const ShownBox &) {
        file = SavedFileOf(NewObjects());
        savedBeforeBox = GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    screenshots = GetParam() ? "" : "renewal-forged";
    RenewalOutcome outcome = Renew();
    blocked.clear();

    ExpectOneError(outcome, L"Внимание", GetParam() ? uncheckedNotSaved : UncheckedSavedIn(file), 10);
    EXPECT_OLD_KEPT_AND_NEW_PAIR();
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());
    EXPECT_EQ("forged", Field(exchanges[1], "fault"));
    if (GetParam())
        return;
    EXPECT_TRUE(savedBeforeBox) << UnixPath(file);
    std::string forged, saved;
    ASSERT_TRUE(ReadFileBytes(caDir + "/issued/" + Field(exchanges[1], "issued-serial") + ".der", forged));
    EXPECT_TRUE(ReadWindowsFile(file, saved));
    EXPECT_TRUE(forged == saved) << "the saved file is not the certificate answered";
    DeleteFileW(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(Places, ForgedCertificateReply, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "NoPlaceForTheFile" : "SavedInDocuments");
                         });

// Centres change their signing key about once a year under the same name,
// so the answer often comes signed by a key the current certificate does not
// know. It is trusted when the new key's certificate is found (token, user's
// stores, or its caIssuers URL) and chains to an anchor: the user's "Root"
// store or the head centres the program ships (the test head stands for
// them only once it is in "Root"). Anything else ends in the box, the old
// certificate untouched and the answer kept in a file.
enum class Answer {
    Rekeyed,         // the centre's new key signs it
    HeadRekeyedToo,  // the head changed its key first, then the centre
    NotACentre,      // a CA:FALSE certificate of the centre's name, certified by the head, whose key signs it
    OtherCentre,     // another centre the head certified, under its own name
    Forger,          // a forger's centre key, its head named as the test head
};

struct RekeyRow {
    const char *name;
    Answer answer;
    bool headInRoot;     // the test head's current certificate in the user's "Root"
    bool centreInCa;     // the centre's new certificate in the user's "CA"
    bool centreOnToken;  // ... on the token only
    const char *http;    // the certificates' HTTP server: "" serves, else its --http-fault
    bool renews;
    int issuerUrls = 1;          // caIssuers URLs in the answer, the centre's last
    bool tokenRefuses = false;   // C_CreateObject fails: the token will not store the answer
};

const char centreId[] = "43454e545245";  // "CENTRE"

class RekeyedCentre : public RenewalTest, public ::testing::WithParamInterface<RekeyRow> {};

TEST_P(RekeyedCentre, RenewsOnlyWhenTheNewKeyChainsToAnAnchor)
{
    const RekeyRow &row = GetParam();
    ASSERT_NO_FATAL_FAILURE(MakeHolder());
    std::string options = *row.http ? std::string(" --http-fault ") + row.http : "";
    options += " --issuer-urls " + std::to_string(row.issuerUrls);
    if (row.tokenRefuses)
        Tool({"fault", "0", "C_CreateObject", "0x31"});
    if (row.answer == Answer::HeadRekeyedToo)
        Ca("rekey " + ShellQuote(caDir + "/head"));
    if (row.answer == Answer::Rekeyed || row.answer == Answer::HeadRekeyedToo)
        Ca("rekey " + ShellQuote(caDir));
    std::string signer = dir + "/signer";
    if (row.answer == Answer::NotACentre || row.answer == Answer::OtherCentre) {
        // A CA folder in all but name: the key and certificate the server
        // signs with, certified by the test head. Another centre's is
        // published at its URL like the centre's own.
        ASSERT_EQ(0, RunUnix("mkdir -p " + ShellQuote(signer)));
        Ca("mint " + ShellQuote(caDir + "/head") + " --out " + ShellQuote(signer + "/ca.der") + " --key-out " +
           ShellQuote(signer + "/ca.key") + " --kind 2012-256" +
           (row.answer == Answer::NotACentre
                ? " --rdn 'CN=Kestrava Test CA' --rdn O=Kestrava --rdn C=RU"
                : " --rdn 'CN=Kestrava Other CA' --rdn O=Kestrava --rdn C=RU --no-default-ext"
                  " --ext basicConstraints=critical,CA:TRUE --ext keyUsage=critical,keyCertSign,cRLSign,digitalSignature"
                  " --ext subjectKeyIdentifier=hash --ext authorityKeyIdentifier=keyid:always"));
        ASSERT_EQ(0, RunUnix("openssl x509 -engine gost -inform DER -in " + ShellQuote(signer + "/ca.der") + " -out " +
                             ShellQuote(signer + "/ca.pem") + " 2>/dev/null"));
        options += " --fault forged --forger " + ShellQuote(signer);
    }
    if (row.answer == Answer::Forger) {
        // Its head and centre carry the test head's and the centre's names;
        // its head also re-signs the centre's current certificate, and it
        // answers the caIssuers URLs in the real centre's place.
        Ca("init " + ShellQuote(signer));
        Ca("mint " + ShellQuote(signer + "/head") + " --like " + ShellQuote(caDir + "/ca.der") + " --out " +
           ShellQuote(dir + "/resigned.der"));
        options += " --fault forged --forger " + ShellQuote(signer);
    }
    std::string centre, head, notACentre;
    ASSERT_TRUE(ReadFileBytes(caDir + "/ca.der", centre));
    ASSERT_TRUE(ReadFileBytes(caDir + "/head/ca.der", head));
    if (row.centreOnToken)
        Tool({"import-cert", "0", "--id", centreId, "--label", "Kestrava Test CA", "--file", caDir + "/ca.der"});
    std::vector<std::unique_ptr<UserStoreCertificate>> installed;
    auto install = [&](const wchar_t *store, const std::string &der) {
        installed.emplace_back(new UserStoreCertificate(store, der));
        EXPECT_TRUE(installed.back()->installed());
    };
    if (row.headInRoot)
        install(L"Root", head);
    if (row.centreInCa)
        install(L"CA", centre);
    if (row.answer == Answer::NotACentre && ReadFileBytes(signer + "/ca.der", notACentre))
        install(L"My", notACentre);
    ChooseCertificate(oldId);
    ASSERT_NO_FATAL_FAILURE(StartServer({}, options));
    if (row.answer == Answer::Forger)
        ASSERT_NO_FATAL_FAILURE(StartSecondServer(signer));

    // While a retrieval waits for an answer that never comes, the program may
    // be ended: by then the new pair and the saved answer must be in place,
    // and the program still answers.
    bool retrievalSeen = false, answersWhileWaiting = false;
    size_t pairWhileWaiting = 0, oldWhileWaiting = 0;
    std::wstring fileWhileWaiting;
    bool savedWhileWaiting = false;
    bool waits = std::string(row.http) == "hang" || std::string(row.http) == "trickle";
    whileRenewing = [&] {
        std::string log;
        if (!waits || retrievalSeen || !ReadFileBytes(caDir + "/http.log", log) ||
            log.find("status=" + std::string(row.http)) == std::string::npos)
            return;
        retrievalSeen = true;
        answersWhileWaiting = SendMessageTimeoutW(FindWindowW(L"#32770", L"Продление сертификата"), WM_NULL, 0, 0,
                                                  SMTO_ABORTIFHUNG, 2000, nullptr) != 0;
        std::vector<TokenObject> fresh = NewObjects();
        pairWhileWaiting = fresh.size();
        oldWhileWaiting = WithId(ToHexText(oldId)).size();
        fileWhileWaiting = SavedFileOf(fresh);
        savedWhileWaiting = GetFileAttributesW(fileWhileWaiting.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    std::wstring file;
    onBox = [&](const ShownBox &) { file = SavedFileOf(NewObjects()); };
    RenewalOutcome outcome = Renew();
    installed.clear();
    std::vector<std::string> exchanges = CaJournal();
    ASSERT_EQ(2u, exchanges.size());

    if (row.tokenRefuses) {
        // Fetched, checked, then refused by the token: the file the box
        // names, saved before the retrieval, is the answer still.
        ASSERT_EQ(2u, outcome.boxes.size());
        EXPECT_EQ(L"C_CreateObject", outcome.boxes[0].caption);
        EXPECT_NE(std::wstring::npos, outcome.boxes[1].text.find(L":\n" + file + L"\n")) << UnixPath(file);
        EXPECT_EQ(3u, WithId(ToHexText(oldId)).size());
        std::string log;
        EXPECT_TRUE(ReadFileBytes(caDir + "/http.log", log) && log.find("status=200") != std::string::npos);
    } else if (!row.renews) {
        ExpectOneError(outcome, L"Внимание", UncheckedSavedIn(file), 10);
        EXPECT_OLD_KEPT_AND_NEW_PAIR();
    }
    if (!row.renews) {
        // Whatever is fetched, the check gives up within its bound.
        EXPECT_LT(outcome.lastBoxAt - outcome.pinAnsweredAt, 25000u);
        std::string answer, saved;
        ASSERT_TRUE(ReadFileBytes(caDir + "/issued/" + Field(exchanges[1], "issued-serial") + ".der", answer));
        EXPECT_TRUE(ReadWindowsFile(file, saved));
        EXPECT_TRUE(answer == saved) << "the saved file is not the certificate answered";
        // Another centre's name is refused before anything is fetched.
        std::string fetched;
        if (row.answer == Answer::OtherCentre && ReadFileBytes(caDir + "/http.log", fetched))
            EXPECT_EQ("", fetched);
        if (waits) {
            EXPECT_TRUE(retrievalSeen) << "no retrieval reached the certificates' server";
            EXPECT_TRUE(answersWhileWaiting);
            EXPECT_EQ(2u, pairWhileWaiting);
            EXPECT_EQ(3u, oldWhileWaiting);
            EXPECT_TRUE(savedWhileWaiting) << UnixPath(fileWhileWaiting);
        }
        DeleteFileW(file.c_str());
        return;
    }
    EXPECT_EQ(1, outcome.result);
    ASSERT_EQ(1u, outcome.boxes.size());
    EXPECT_EQ(L"Сертификат был успешно обновлен.", outcome.boxes[0].text);
    EXPECT_TRUE(WithId(ToHexText(oldId)).empty());
    std::vector<TokenObject> fresh;
    for (const auto &object : NewObjects())
        if (object.idHex != centreId)
            fresh.push_back(object);
    EXPECT_EQ(3u, fresh.size());
    EXPECT_EQ(row.centreOnToken ? 1u : 0u, WithId(centreId).size());
    // A file saved before a retrieval goes once the certificate is stored.
    std::wstring saved = SavedFileOf(fresh);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(saved.c_str())) << UnixPath(saved);
}

INSTANTIATE_TEST_SUITE_P(
    Centres, RekeyedCentre,
    ::testing::Values(
        //       name                      answer                   Root   CA     token  HTTP    renews
        RekeyRow{"TestHeadInRootOnly", Answer::Rekeyed, true, false, false, "", true},
        RekeyRow{"NothingInstalled", Answer::Rekeyed, false, false, false, "", false},
        RekeyRow{"NoHttpServer", Answer::Rekeyed, true, false, false, "off", false},
        RekeyRow{"RetrievalNeverAnswers", Answer::Rekeyed, true, false, false, "hang", false},
        RekeyRow{"HeadRekeyedTooNewHeadInRoot", Answer::HeadRekeyedToo, true, false, false, "", true},
        RekeyRow{"CentreInTheUsersCaStore", Answer::Rekeyed, true, true, false, "off", true},
        RekeyRow{"CentreOnTheTokenOnly", Answer::Rekeyed, true, false, true, "off", true},
        RekeyRow{"CentreInTheUsersCaStoreNoAnchor", Answer::Rekeyed, false, true, false, "off", false},
        RekeyRow{"NotACentreInMyStore", Answer::NotACentre, true, false, false, "", false},
        RekeyRow{"AnotherCentreOfTheSameHead", Answer::OtherCentre, true, false, false, "", false},
        RekeyRow{"ForgerWithAHeadOfTheSameName", Answer::Forger, true, false, false, "off", false},
        RekeyRow{"RetrievalTricklesWithoutEnd", Answer::Rekeyed, true, false, false, "trickle", false},
        RekeyRow{"CentreAtTheFourthUrl", Answer::Rekeyed, true, false, false, "", true, 4},
        RekeyRow{"CentreOnlyAtTheFifthUrl", Answer::Rekeyed, true, false, false, "", false, 5},
        RekeyRow{"BundleOf64KiB", Answer::Rekeyed, true, false, false, "pkcs7:65536", true},
        RekeyRow{"BundleOver64KiB", Answer::Rekeyed, true, false, false, "pkcs7:65537", false},
        RekeyRow{"TokenRefusesTheFetchedAnswer", Answer::Rekeyed, true, false, false, "", false, 1, true}),
    [](const ::testing::TestParamInfo<RekeyRow> &info) { return std::string(info.param.name); });

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
