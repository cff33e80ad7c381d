// The scanner that cuts a holder's detail out of the subject name string: a
// plain text search for "OID=", quirks included, since the user sees its
// results as they are.
#include <gtest/gtest.h>

#include <string>

#include "cert/cert_record.h"

namespace {

std::wstring Extract(const std::wstring &name, const wchar_t *key)
{
    wchar_t value[1024] = {};
    ExtractNameValue(name.c_str(), key, value);
    return value;
}

} // namespace

TEST(ExtractNameValue, ValueRunsToTheNextCommaOrTheEnd)
{
    std::wstring name = L"2.5.4.6=RU, 2.5.4.10=Ромашка, 2.5.4.4=Иванов";
    EXPECT_EQ(L"RU", Extract(name, L"2.5.4.6="));
    EXPECT_EQ(L"Ромашка", Extract(name, L"2.5.4.10="));
    EXPECT_EQ(L"Иванов", Extract(name, L"2.5.4.4="));
    EXPECT_EQ(L"", Extract(name, L"2.5.4.42="));
    // The first occurrence counts.
    EXPECT_EQ(L"A", Extract(L"2.5.4.11=A, 2.5.4.11=B", L"2.5.4.11="));
    // An empty value.
    EXPECT_EQ(L"", Extract(L"1.2.643.100.1=, 1.2.643.100.5=304", L"1.2.643.100.1="));
}

TEST(ExtractNameValue, KeyIncludesTheEqualsSign)
{
    std::wstring name = L"2.5.4.42=Иван, 2.5.4.4=Иванов";
    EXPECT_EQ(L"Иванов", Extract(name, L"2.5.4.4="));
    EXPECT_EQ(L"Иван", Extract(name, L"2.5.4.42="));
}

TEST(ExtractNameValue, QuotesStayAndAQuotedCommaEndsTheValue)
{
    EXPECT_EQ(L"\"ООО \"\"Ромашка\"\"\"", Extract(L"2.5.4.10=\"ООО \"\"Ромашка\"\"\", 2.5.4.6=RU", L"2.5.4.10="));
    EXPECT_EQ(L"\"Рога", Extract(L"2.5.4.10=\"Рога, копыта\"", L"2.5.4.10="));
}

TEST(ExtractNameValue, NoAttributeBoundaries)
{
    // Found inside an earlier value.
    EXPECT_EQ(L"Петров\"", Extract(L"2.5.4.10=\"Фирма 2.5.4.4=Петров\", 2.5.4.4=Иванов", L"2.5.4.4="));
    // A joined RDN runs on to the comma.
    EXPECT_EQ(L"Иванов + 2.5.4.42=Иван", Extract(L"2.5.4.4=Иванов + 2.5.4.42=Иван, 2.5.4.6=RU", L"2.5.4.4="));
    EXPECT_EQ(L"Иван", Extract(L"2.5.4.4=Иванов + 2.5.4.42=Иван, 2.5.4.6=RU", L"2.5.4.42="));
}

TEST(ExtractNameValue, MismatchRestartsWithoutLookingBack)
{
    // After "2.5.4." the "2" breaks the match and is not tried as the key's
    // first character again, so the key standing right after it is missed.
    EXPECT_EQ(L"", Extract(L"2.5.4.2.5.4.4=X", L"2.5.4.4="));
    EXPECT_EQ(L"", Extract(L"x22=V", L"2="));
    EXPECT_EQ(L"V", Extract(L"x2, 2=V", L"2="));
}

TEST(ExtractNameValue, EmptyKeyOrNameWritesNothing)
{
    wchar_t value[1024];
    wmemset(value, L'#', 1024);
    ExtractNameValue(L"2.5.4.4=Иванов", L"", value);
    EXPECT_EQ(L'#', value[0]);
    ExtractNameValue(L"", L"2.5.4.4=", value);
    EXPECT_EQ(L'#', value[0]);
}

TEST(ExtractNameValue, LooksAtMostAt1024Characters)
{
    wchar_t value[1024 + 8];
    wmemset(value, 0, 1024 + 8);
    value[1024] = L'#';
    // A name string longer than the field: the value runs to the 1024th
    // character and never past the output's room.
    std::wstring name = L"2.5.4.3=" + std::wstring(2000, L'y');
    ExtractNameValue(name.c_str(), L"2.5.4.3=", value);
    EXPECT_EQ(std::wstring(1016, L'y'), std::wstring(value));
    EXPECT_EQ(L'#', value[1024]);
    // A key beyond the first 1024 characters is not found.
    std::wstring distant = std::wstring(1020, L'z') + L", 2.5.4.4=Иванов";
    EXPECT_EQ(L"", Extract(distant, L"2.5.4.4="));
}
