// Filling a CertRecord from certificates minted for each case: the texts the
// dialogs show, the holder's details cut out of the subject string, the
// times, and what happens with long or undecodable subjects.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "support/unix_command.h"
#include "support/window_driver.h"
#include "test_certificates.h"

namespace {

const char C[] = "2.5.4.6", O[] = "2.5.4.10", CN[] = "2.5.4.3", SN[] = "2.5.4.4", GN[] = "2.5.4.42";
const char OGRN[] = "1.2.643.100.1", OGRNIP[] = "1.2.643.100.5", INN[] = "1.2.643.3.131.1.1",
           SNILS[] = "1.2.643.100.3", INNLE[] = "1.2.643.100.4";

std::string Repeat(const std::string &piece, int times)
{
    std::string text;
    for (int i = 0; i < times; i++)
        text += piece;
    return text;
}

bool AllZero(const void *data, size_t size)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; i++)
        if (bytes[i])
            return false;
    return true;
}

void ExpectTime(const SYSTEMTIME &time, int year, int month, int day, int hour, int minute, int second)
{
    EXPECT_EQ(year, time.wYear);
    EXPECT_EQ(month, time.wMonth);
    EXPECT_EQ(day, time.wDay);
    EXPECT_EQ(hour, time.wHour);
    EXPECT_EQ(minute, time.wMinute);
    EXPECT_EQ(second, time.wSecond);
}

// A record with no certificate: the empty state, and no pointer or time that
// later code could mistake for a certificate.
void ExpectNoCertificate(const CertRecord &record)
{
    EXPECT_EQ(nullptr, record.certContext);
    EXPECT_TRUE(AllZero(&record.validToLocal, sizeof record.validToLocal));
    EXPECT_TRUE(AllZero(&record.validFromLocal, sizeof record.validFromLocal));
    EXPECT_TRUE(AllZero(&record.validToUtc, sizeof record.validToUtc));
    EXPECT_TRUE(AllZero(&record.validFromUtc, sizeof record.validFromUtc));
    EXPECT_TRUE(AllZero(record.subjectName, sizeof record.subjectName));
    EXPECT_TRUE(AllZero(record.issuerName, sizeof record.issuerName));
    EXPECT_TRUE(AllZero(record.validToText, sizeof record.validToText));
    EXPECT_TRUE(AllZero(record.validFromText, sizeof record.validFromText));
    EXPECT_TRUE(AllZero(record.serialHex, sizeof record.serialHex));
    EXPECT_TRUE(AllZero(record.ckaID, sizeof record.ckaID));
    EXPECT_EQ(0u, record.ckaIDLength);
    EXPECT_TRUE(AllZero(record.subjectDn, sizeof record.subjectDn));
    EXPECT_TRUE(AllZero(record.subjectDnAnsi, sizeof record.subjectDnAnsi));
    EXPECT_TRUE(AllZero(record.subjectDnUtf8, sizeof record.subjectDnUtf8));
    EXPECT_TRUE(AllZero(record.requestSubject, sizeof record.requestSubject));
    EXPECT_EQ(0u, record.requestSubjectCount);
    EXPECT_TRUE(AllZero(record.organization, sizeof record.organization));
    EXPECT_TRUE(AllZero(record.ogrn, sizeof record.ogrn));
    EXPECT_TRUE(AllZero(record.inn, sizeof record.inn));
    EXPECT_TRUE(AllZero(record.surname, sizeof record.surname));
    EXPECT_TRUE(AllZero(record.givenName, sizeof record.givenName));
    EXPECT_TRUE(AllZero(record.fullName, sizeof record.fullName));
    EXPECT_TRUE(AllZero(record.snils, sizeof record.snils));
    EXPECT_EQ(0u, record.slotId);
}

CertOrder Holder()
{
    CertOrder order;
    order.subject = {{Printable(C, "RU")},
                    {Utf8(O, "ООО Ромашка")},
                    {Numeric(OGRN, "1027700132195")},
                    {Numeric(INN, "007712345678")},
                    {Utf8(SN, "Иванов")},
                    {Utf8(GN, "Иван Иванович")},
                    {Numeric(SNILS, "12345678901")},
                    {Utf8(CN, "Иванов Иван Иванович")}};
    return order;
}

} // namespace

TEST(CertDetails, TypicalHolderFillsEveryField)
{
    std::string der = MintCertificate(Holder());
    PCCERT_CONTEXT context = ContextOf(der);
    ASSERT_NE(nullptr, context);
    unsigned char ckaId[256];
    for (int i = 0; i < 256; i++)
        ckaId[i] = (unsigned char)(i * 7 + 1);
    CertRecord record(context, 3, ckaId, 200);
    CertFreeCertificateContext(context);

    // The record's own reference outlives the caller's.
    ASSERT_NE(nullptr, record.certContext);
    ASSERT_EQ(der.size(), record.certContext->cbCertEncoded);
    EXPECT_EQ(0, memcmp(der.data(), record.certContext->pbCertEncoded, der.size()));

    EXPECT_STREQ(L"Иванов Иван Иванович", record.subjectName);
    EXPECT_STREQ(L"Kestrava Test CA", record.issuerName);
    const wchar_t *dn = L"2.5.4.6=RU, 2.5.4.10=ООО Ромашка, 1.2.643.100.1=1027700132195, "
                        L"1.2.643.3.131.1.1=007712345678, 2.5.4.4=Иванов, 2.5.4.42=Иван Иванович, "
                        L"1.2.643.100.3=12345678901, 2.5.4.3=Иванов Иван Иванович";
    EXPECT_STREQ(dn, record.subjectDn);
    EXPECT_EQ(Narrow(dn), std::string(record.subjectDnUtf8));
    ASSERT_EQ(1251u, GetACP());
    EXPECT_STREQ("2.5.4.6=RU, 2.5.4.10=\xCE\xCE\xCE \xD0\xEE\xEC\xE0\xF8\xEA\xE0, 1.2.643.100.1=1027700132195, "
                 "1.2.643.3.131.1.1=007712345678, 2.5.4.4=\xC8\xE2\xE0\xED\xEE\xE2, "
                 "2.5.4.42=\xC8\xE2\xE0\xED \xC8\xE2\xE0\xED\xEE\xE2\xE8\xF7, 1.2.643.100.3=12345678901, "
                 "2.5.4.3=\xC8\xE2\xE0\xED\xEE\xE2 \xC8\xE2\xE0\xED \xC8\xE2\xE0\xED\xEE\xE2\xE8\xF7",
                 record.subjectDnAnsi);

    EXPECT_STREQ(L"ООО Ромашка", record.organization);
    EXPECT_STREQ(L"1027700132195", record.ogrn);
    EXPECT_STREQ(L"007712345678", record.inn);
    EXPECT_STREQ(L"Иванов", record.surname);
    EXPECT_STREQ(L"Иван Иванович", record.givenName);
    EXPECT_STREQ(L"Иванов Иван Иванович", record.fullName);
    EXPECT_STREQ(L"12345678901", record.snils);

    EXPECT_STREQ("01a2", record.serialHex);
    EXPECT_EQ(3u, record.slotId);
    EXPECT_EQ(0, memcmp(ckaId, record.ckaID, 256));
    EXPECT_EQ(200u, record.ckaIDLength);
    EXPECT_EQ(16u, record.requestSubjectCount);
    ReleaseCertRecord(record);
}

TEST(CertDetails, QuotedValuesKeepTheirQuotesAndStopAtAComma)
{
    CertOrder quoted;
    quoted.subject = {{Printable(C, "RU")}, {Utf8(O, "ООО \"Ромашка\"")}};
    FilledRecord withQuotes(quoted);
    EXPECT_STREQ(L"2.5.4.6=RU, 2.5.4.10=\"ООО \"\"Ромашка\"\"\"", withQuotes.record.subjectDn);
    EXPECT_STREQ(L"\"ООО \"\"Ромашка\"\"\"", withQuotes.record.organization);

    CertOrder comma;
    comma.subject = {{Utf8(O, "Рога, копыта")}, {Utf8(SN, "Иванов")}};
    FilledRecord withComma(comma);
    EXPECT_STREQ(L"2.5.4.10=\"Рога, копыта\", 2.5.4.4=Иванов", withComma.record.subjectDn);
    EXPECT_STREQ(L"\"Рога", withComma.record.organization);
    EXPECT_STREQ(L"Иванов", withComma.record.surname);
}

TEST(CertDetails, JoinedAttributesRunOnUntilTheComma)
{
    CertOrder order;
    order.subject = {{Utf8(SN, "Иванов"), Utf8(GN, "Иван Иванович")}, {Printable(C, "RU")}};
    FilledRecord filled(order);
    EXPECT_STREQ(L"2.5.4.4=Иванов + 2.5.4.42=Иван Иванович, 2.5.4.6=RU", filled.record.subjectDn);
    EXPECT_STREQ(L"Иванов + 2.5.4.42=Иван Иванович", filled.record.surname);
    EXPECT_STREQ(L"Иван Иванович", filled.record.givenName);
    EXPECT_STREQ(L"Иванов + 2.5.4.42=Иван Иванович Иван Иванович", filled.record.fullName);
}

TEST(CertDetails, KeyInsideAnEarlierValueIsTakenThere)
{
    CertOrder order;
    order.subject = {{Utf8(O, "Фирма 2.5.4.4=Петров")}, {Utf8(SN, "Иванов")}};
    FilledRecord filled(order);
    EXPECT_STREQ(L"2.5.4.10=\"Фирма 2.5.4.4=Петров\", 2.5.4.4=Иванов", filled.record.subjectDn);
    EXPECT_STREQ(L"Петров\"", filled.record.surname);
}

// A field that takes a second attribute type only when the subject has no
// value of the first: OGRN before OGRNIP, INN before the organisation's INNLE.
TEST(CertDetails, SecondTypeOnlyWithoutTheFirst)
{
    struct Case {
        std::vector<Rdn> subject;
        wchar_t (CertRecord::*field)[1024];
        const wchar_t *expected;
    } cases[] = {
        {{{Numeric(OGRNIP, "304500116000157")}, {Numeric(OGRN, "1027700132195")}}, &CertRecord::ogrn, L"1027700132195"},
        {{{Utf8(SN, "Иванов")}, {Numeric(OGRNIP, "304500116000157")}}, &CertRecord::ogrn, L"304500116000157"},
        {{{Numeric(OGRN, "")}, {Numeric(OGRNIP, "304500116000157")}}, &CertRecord::ogrn, L"304500116000157"},
        {{{Numeric(INNLE, "7712345678")}, {Numeric(INN, "007712345678")}}, &CertRecord::inn, L"007712345678"},
        {{{Utf8(O, "Ромашка")}, {Numeric(INNLE, "7712345678")}}, &CertRecord::inn, L"7712345678"},
    };
    for (const Case &c : cases) {
        CertOrder order;
        order.subject = c.subject;
        FilledRecord filled(order);
        EXPECT_STREQ(c.expected, filled.record.*c.field) << filled.record.subjectDn;
    }
}

// The key's kind and parameter set as the renewal needs them; a key that is
// not GOST, or whose parameter set does not read, is no kind at all.
struct KeyCase {
    const char *name;
    std::string keyAlgorithm;  // genconf body of the AlgorithmIdentifier
    CertKeyKind kind;
    std::string paramSetHex;   // DER of the parameter set OID
};

class CertKeyKindTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CertKeyKindTest, KindAndParameterSetOfTheKey)
{
    CertOrder order;
    order.subject = {{Utf8(SN, "Иванов")}};
    order.keyAlgorithm = GetParam().keyAlgorithm;
    FilledRecord filled(order);
    ASSERT_NE(nullptr, filled.record.certContext);
    EXPECT_EQ(GetParam().kind, filled.record.keyKind);
    std::string paramSet;
    for (CK_ULONG i = 0; i < filled.record.keyParamSetLength; i++) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", filled.record.keyParamSet[i]);
        paramSet += hex;
    }
    EXPECT_EQ(GetParam().paramSetHex, paramSet);
    EXPECT_EQ(GetParam().kind == KeyNotGost, RenewalRefusal(filled.record) != nullptr);
}

std::string GostKey(const std::string &oid, const std::string &params)
{
    return "oid = OID:" + oid + "\nparams = SEQUENCE:spki_params\n[spki_params]\n" + params;
}

INSTANTIATE_TEST_SUITE_P(
    CertDetails, CertKeyKindTest,
    ::testing::Values(
        KeyCase{"Gost2001", GostKey("1.2.643.2.2.19", "a = OID:1.2.643.2.2.35.1\nb = OID:1.2.643.2.2.30.1\n"),
                KeyGost2001, "06072a850302022301"},
        KeyCase{"Gost2012_256_CryptoProB",
                GostKey("1.2.643.7.1.1.1.1", "a = OID:1.2.643.2.2.35.2\nb = OID:1.2.643.7.1.1.2.2\n"),
                KeyGost2012_256, "06072a850302022302"},
        KeyCase{"Gost2012_256_Tc26A", GostKey("1.2.643.7.1.1.1.1", "a = OID:1.2.643.7.1.2.1.1.1\n"),
                KeyGost2012_256, "06092a8503070102010101"},
        KeyCase{"Gost2012_512_Tc26C", GostKey("1.2.643.7.1.1.1.2", "a = OID:1.2.643.7.1.2.1.2.3\n"),
                KeyGost2012_512, "06092a8503070102010203"},
        KeyCase{"Rsa", "oid = OID:rsaEncryption\nparams = NULL\n", KeyNotGost, ""},
        KeyCase{"GostWithoutParameters", "oid = OID:1.2.643.7.1.1.1.1\n", KeyNotGost, ""},
        KeyCase{"GostParametersNotAnOid", GostKey("1.2.643.7.1.1.1.1", "a = INTEGER:5\n"), KeyNotGost, ""}),
    [](const ::testing::TestParamInfo<KeyCase> &info) { return std::string(info.param.name); });

TEST(CertDetails, FullNameWithMissingParts)
{
    CertOrder noSurname;
    noSurname.subject = {{Utf8(GN, "Иван Иванович")}};
    FilledRecord withoutSurname(noSurname);
    EXPECT_STREQ(L" Иван Иванович", withoutSurname.record.fullName);

    CertOrder noGivenName;
    noGivenName.subject = {{Utf8(SN, "Иванов")}};
    FilledRecord withoutGivenName(noGivenName);
    EXPECT_STREQ(L"Иванов ", withoutGivenName.record.fullName);

    CertOrder neither;
    neither.subject = {{Utf8(O, "Ромашка")}};
    FilledRecord withNeither(neither);
    EXPECT_STREQ(L" ", withNeither.record.fullName);
}

TEST(CertDetails, EmptySubject)
{
    FilledRecord filled(CertOrder{});
    const CertRecord &record = filled.record;
    EXPECT_NE(nullptr, record.certContext);
    EXPECT_STREQ(L"", record.subjectDn);
    EXPECT_STREQ("", record.subjectDnAnsi);
    EXPECT_STREQ("", record.subjectDnUtf8);
    EXPECT_STREQ(L"", record.organization);
    EXPECT_STREQ(L"", record.ogrn);
    EXPECT_STREQ(L"", record.inn);
    EXPECT_STREQ(L"", record.surname);
    EXPECT_STREQ(L"", record.givenName);
    EXPECT_STREQ(L"", record.snils);
    EXPECT_STREQ(L" ", record.fullName);
    EXPECT_EQ(0u, record.requestSubjectCount);
    EXPECT_TRUE(AllZero(record.requestSubject, sizeof record.requestSubject));
    EXPECT_STREQ(L"Kestrava Test CA", record.issuerName);
    EXPECT_STREQ("01a2", record.serialHex);
}

TEST(CertDetails, SerialNumberMostSignificantByteFirst)
{
    CertOrder order;
    order.subject = {{Utf8(CN, "Serial")}};
    order.serialHex = "0102030405060708090A0B0C0D0E0F10111213F4";
    FilledRecord filled(order);
    EXPECT_STREQ("0102030405060708090a0b0c0d0e0f10111213f4", filled.record.serialHex);
}

TEST(CertDetails, LongTextsAreCutToTheirFields)
{
    // A display name longer than 511 characters is cut to 511.
    std::string longName = Repeat("Ж", 600);
    CertOrder displayName;
    displayName.subject = {{Utf8(CN, longName)}};
    FilledRecord withLongName(displayName);
    EXPECT_EQ(Widen(Repeat("Ж", 511)), std::wstring(withLongName.record.subjectName));
    EXPECT_EQ(L"2.5.4.3=" + Widen(longName), std::wstring(withLongName.record.subjectDn));
    // 608 characters, 1208 bytes in UTF-8: cut on a character boundary.
    EXPECT_EQ("2.5.4.3=" + Repeat("Ж", 507), std::string(withLongName.record.subjectDnUtf8));
    EXPECT_EQ(608u, strlen(withLongName.record.subjectDnAnsi));

    // A subject string of more than 1023 characters.
    CertOrder longSubject;
    longSubject.subject = {{Utf8(CN, Repeat("x", 1100))}, {Utf8(SN, "Иванов")}};
    FilledRecord withLongSubject(longSubject);
    EXPECT_EQ(L"2.5.4.3=" + std::wstring(1015, L'x'), std::wstring(withLongSubject.record.subjectDn));
    EXPECT_EQ("2.5.4.3=" + std::string(1015, 'x'), std::string(withLongSubject.record.subjectDnAnsi));
    EXPECT_EQ("2.5.4.3=" + std::string(1015, 'x'), std::string(withLongSubject.record.subjectDnUtf8));
    EXPECT_STREQ(L"", withLongSubject.record.surname);  // beyond what the record holds

    // Surname and given name joined in one RDN: the surname field carries
    // both, and the full name would exceed its field.
    std::string surname = Repeat("Ф", 500), givenName = Repeat("Щ", 500);
    CertOrder longNames;
    longNames.subject = {{Utf8(SN, surname), Utf8(GN, givenName)}};
    FilledRecord withLongNames(longNames);
    std::wstring expectedSurname = Widen(surname + " + 2.5.4.42=" + givenName);
    EXPECT_EQ(expectedSurname, std::wstring(withLongNames.record.surname));
    EXPECT_EQ(Widen(givenName), std::wstring(withLongNames.record.givenName));
    EXPECT_EQ((expectedSurname + L" " + Widen(givenName)).substr(0, 1023), std::wstring(withLongNames.record.fullName));
}

TEST(CertDetails, CutsNeverSplitACharacter)
{
    // Characters outside the basic plane: two UTF-16 units, four UTF-8 bytes.
    std::string smile = "\xF0\x9F\x98\x80";
    CertOrder order;
    order.subject = {{Utf8(CN, Repeat(smile, 600))}};
    FilledRecord filled(order);
    // 1015 units of room after "2.5.4.3=" hold 507 whole pairs, not 507.5.
    EXPECT_EQ(L"2.5.4.3=" + Widen(Repeat(smile, 507)), std::wstring(filled.record.subjectDn));
    EXPECT_EQ("2.5.4.3=" + Repeat(smile, 253), std::string(filled.record.subjectDnUtf8));
}

TEST(CertDetails, SerialLongerThanTheFieldIsCut)
{
    std::string serial;
    for (int i = 1; i <= 70; i++) {
        char byte[3];
        snprintf(byte, sizeof byte, "%02X", i);
        serial += byte;
    }
    CertOrder order;
    order.subject = {{Utf8(CN, "Serial")}};
    order.serialHex = serial;
    FilledRecord filled(order);
    std::string expected;
    for (int i = 1; i <= 63; i++) {
        char byte[3];
        snprintf(byte, sizeof byte, "%02x", i);
        expected += byte;
    }
    EXPECT_EQ(expected, std::string(filled.record.serialHex));
}

// The run sets TZ; Wine takes its time zone from it at start.
TEST(CertDetailsValidity, TextsInTheLocalTimeZone)
{
    CertOrder order;
    order.subject = {{Utf8(CN, "Validity")}};
    order.notBefore = "160701100000Z";  // summer
    order.notAfter = "170305140709Z";   // winter
    FilledRecord filled(order);
    const CertRecord &record = filled.record;
    ExpectTime(record.validFromUtc, 2016, 7, 1, 10, 0, 0);
    ExpectTime(record.validToUtc, 2017, 3, 5, 14, 7, 9);

    std::string zone = TestEnv("TZ");
    if (zone == "UTC") {
        EXPECT_STREQ(L"01.07.2016 10:00:00", record.validFromText);
        EXPECT_STREQ(L"05.03.2017 14:07:09", record.validToText);
        ExpectTime(record.validToLocal, 2017, 3, 5, 14, 7, 9);
    } else if (zone == "Asia/Vladivostok") {  // UTC+10, no summer time
        EXPECT_STREQ(L"01.07.2016 20:00:00", record.validFromText);
        EXPECT_STREQ(L"06.03.2017 00:07:09", record.validToText);
        ExpectTime(record.validToLocal, 2017, 3, 6, 0, 7, 9);
        ExpectTime(record.validFromLocal, 2016, 7, 1, 20, 0, 0);
    } else if (zone == "America/New_York") {  // UTC-5, summer UTC-4
        EXPECT_STREQ(L"01.07.2016 06:00:00", record.validFromText);
        EXPECT_STREQ(L"05.03.2017 09:07:09", record.validToText);
        ExpectTime(record.validToLocal, 2017, 3, 5, 9, 7, 9);
        ExpectTime(record.validFromLocal, 2016, 7, 1, 6, 0, 0);
    } else {
        ADD_FAILURE() << "run with TZ set to UTC, Asia/Vladivostok or America/New_York, not '" << zone << "'";
    }
}

TEST(CertDetails, NoCertificateLeavesTheEmptyState)
{
    unsigned char ckaId[256];
    memset(ckaId, 0x5A, sizeof ckaId);
    // Built over garbage, as a record on the search thread's stack would be.
    alignas(CertRecord) static unsigned char storage[sizeof(CertRecord)];
    memset(storage, 0xAB, sizeof storage);
    CertRecord *record = new (storage) CertRecord(nullptr, 9, ckaId, 256);
    ExpectNoCertificate(*record);

    const char notACertificate[] = "not a certificate";
    EXPECT_EQ(nullptr, ContextOf(std::string(notACertificate, sizeof notACertificate)));
}

TEST(CertDetails, SubjectThatDoesNotDecodeTellsTheUserAndLeavesTheEmptyState)
{
    CertOrder order;
    order.subjectNotAName = true;
    std::string der = MintCertificate(order);
    PCCERT_CONTEXT context = ContextOf(der);
    ASSERT_NE(nullptr, context) << "the certificate itself must decode for this case";

    std::wstring boxText;
    bool boxSeen = false;
    std::thread answer([&] {
        HWND box = WaitForWindow(L"Ошибка", L"#32770", 20000);
        if (box) {
            boxSeen = true;
            boxText = MessageBoxText(box);
            ClickButton(box, IDOK);
        }
    });
    unsigned char ckaId[256] = {1, 2, 3};
    alignas(CertRecord) static unsigned char storage[sizeof(CertRecord)];
    memset(storage, 0xAB, sizeof storage);
    CertRecord *record = new (storage) CertRecord(context, 4, ckaId, 3);
    answer.join();
    CertFreeCertificateContext(context);

    EXPECT_TRUE(boxSeen);
    EXPECT_EQ(L"CryptDecodeObject", boxText);
    ExpectNoCertificate(*record);
}
