// The subject list a renewal request carries: seventeen attribute types in a
// fixed order, values as plain UTF-8 text, NumericString values marked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_certificates.h"

namespace {

std::vector<std::string> Strings(const CertRecord &record)
{
    std::vector<std::string> strings;
    for (unsigned int i = 0; i < record.requestSubjectCount; i++)
        strings.push_back(record.requestSubject[i] ? record.requestSubject[i] : "(null)");
    return strings;
}

void ExpectUnusedSlotsNull(const CertRecord &record)
{
    for (unsigned int i = record.requestSubjectCount; i < 64; i++)
        EXPECT_EQ(nullptr, record.requestSubject[i]) << "slot " << i;
}

} // namespace

TEST(RequestSubject, FixedOrderAndNumericStringPrefix)
{
    CertOrder order;
    order.subject = {{Printable("2.5.4.6", "RU")},
                    {Numeric("1.2.643.3.131.1.1", "007712345678")},
                    {Utf8("2.5.4.42", "Иван Иванович")},
                    {Utf8("2.5.4.4", "Иванов")}};
    FilledRecord filled(order);
    std::vector<std::string> expected = {"2.5.4.4", "Иванов", "2.5.4.42", "Иван Иванович", "2.5.4.6", "RU",
                                         "1.2.643.3.131.1.1", "NUMERICSTRING:007712345678"};
    EXPECT_EQ(8u, filled.record.requestSubjectCount);
    EXPECT_EQ(expected, Strings(filled.record));
    ExpectUnusedSlotsNull(filled.record);
}

TEST(RequestSubject, PrefixFollowsTheValueTypeNotTheOid)
{
    CertOrder order;
    order.subject = {{Printable("1.2.643.3.131.1.1", "007712345678")}, {Numeric("2.5.4.3", "12345")}};
    FilledRecord filled(order);
    std::vector<std::string> expected = {"2.5.4.3", "NUMERICSTRING:12345", "1.2.643.3.131.1.1", "007712345678"};
    EXPECT_EQ(expected, Strings(filled.record));
}

TEST(RequestSubject, ValuesWithoutNameStringQuoting)
{
    CertOrder order;
    order.subject = {{Utf8("2.5.4.10", "ООО \"Рога, копыта\"")}, {Utf8("2.5.4.4", "Иванов"), Utf8("2.5.4.42", "Иван Иванович")}};
    FilledRecord filled(order);
    std::vector<std::string> expected = {"2.5.4.4", "Иванов", "2.5.4.42", "Иван Иванович", "2.5.4.10",
                                         "ООО \"Рога, копыта\""};
    EXPECT_EQ(expected, Strings(filled.record));
}

TEST(RequestSubject, OtherTypesSkippedAndOnlyTheFirstOfATypeTaken)
{
    CertOrder order;
    order.subject = {{Utf8("2.5.4.11", "Отдел 1")},
                    {Printable("2.5.4.5", "SERIAL-77")},
                    {Utf8("2.5.4.11", "Отдел 2")},
                    {Utf8("2.5.4.17", "123456")}};
    FilledRecord filled(order);
    std::vector<std::string> expected = {"2.5.4.11", "Отдел 1"};
    EXPECT_EQ(expected, Strings(filled.record));
    ExpectUnusedSlotsNull(filled.record);

    CertOrder none;
    none.subject = {{Printable("2.5.4.5", "SERIAL-77")}};
    FilledRecord withNone(none);
    EXPECT_EQ(0u, withNone.record.requestSubjectCount);
    ExpectUnusedSlotsNull(withNone.record);
}

TEST(RequestSubject, AllSeventeenTypes)
{
    CertOrder order;
    order.subject = {{Numeric("1.2.643.100.5", "304500116000157")},
                    {Numeric("1.2.643.100.3", "12345678901")},
                    {Numeric("1.2.643.100.1", "1027700132195")},
                    {Numeric("1.2.643.3.131.1.1", "007712345678")},
                    {Numeric("1.2.643.100.4", "7712345678")},
                    {{"1.2.840.113549.1.9.1", "IA5STRING", "ivanov@example.ru"}},
                    {Printable("2.5.4.6", "RU")},
                    {Utf8("2.5.4.8", "77 Москва")},
                    {Utf8("2.5.4.7", "Москва")},
                    {Utf8("2.5.4.10", "Ромашка")},
                    {Utf8("2.5.4.11", "Бухгалтерия")},
                    {Utf8("2.5.4.3", "Иванов Иван Иванович")},
                    {Utf8("2.5.4.9", "ул. Ленина, 1")},
                    {{"1.2.840.113549.1.9.2", "IA5STRING", "INN=007712345678"}},
                    {Utf8("2.5.4.12", "Директор")},
                    {Utf8("2.5.4.42", "Иван Иванович")},
                    {Utf8("2.5.4.4", "Иванов")}};
    FilledRecord filled(order);
    std::vector<std::string> expected = {
        "2.5.4.4", "Иванов", "2.5.4.42", "Иван Иванович", "2.5.4.12", "Директор",
        "1.2.840.113549.1.9.2", "INN=007712345678", "2.5.4.9", "ул. Ленина, 1", "2.5.4.3", "Иванов Иван Иванович",
        "2.5.4.11", "Бухгалтерия", "2.5.4.10", "Ромашка", "2.5.4.7", "Москва", "2.5.4.8", "77 Москва",
        "2.5.4.6", "RU", "1.2.840.113549.1.9.1", "ivanov@example.ru", "1.2.643.3.131.1.1",
        "NUMERICSTRING:007712345678", "1.2.643.100.4", "NUMERICSTRING:7712345678", "1.2.643.100.1", "NUMERICSTRING:1027700132195", "1.2.643.100.3",
        "NUMERICSTRING:12345678901", "1.2.643.100.5", "NUMERICSTRING:304500116000157"};
    EXPECT_EQ(34u, filled.record.requestSubjectCount);
    EXPECT_EQ(expected, Strings(filled.record));
    ExpectUnusedSlotsNull(filled.record);
}

TEST(RequestSubject, BuildingAgainReplacesTheStrings)
{
    CertOrder order;
    order.subject = {{Utf8("2.5.4.4", "Иванов")}, {Printable("2.5.4.6", "RU")}};
    std::string der = MintCertificate(order);
    PCCERT_CONTEXT context = ContextOf(der);
    ASSERT_NE(nullptr, context);
    DWORD size = 0;
    const CERT_NAME_BLOB &subject = context->pCertInfo->Subject;
    ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, 0, nullptr, &size));
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, 0, buffer.data(), &size));
    const CERT_NAME_INFO *nameInfo = reinterpret_cast<const CERT_NAME_INFO *>(buffer.data());

    char *slots[64] = {};
    slots[0] = new char[2]{'x', 0};
    EXPECT_EQ(4u, BuildRequestSubject(slots, nameInfo));
    EXPECT_EQ(4u, BuildRequestSubject(slots, nameInfo));
    EXPECT_STREQ("2.5.4.4", slots[0]);
    EXPECT_STREQ("Иванов", slots[1]);
    EXPECT_STREQ("2.5.4.6", slots[2]);
    EXPECT_STREQ("RU", slots[3]);
    EXPECT_EQ(nullptr, slots[4]);
    for (char *slot : slots)
        delete[] slot;
    CertFreeCertificateContext(context);
}
