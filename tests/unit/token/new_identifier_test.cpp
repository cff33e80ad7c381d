// The identifier of a renewal's new objects, made from the time and the INN.
#include <gtest/gtest.h>

#include <string>

#include "token/key_objects.h"

namespace {

std::string Bytes(const CK_BYTE *data, size_t length)
{
    return std::string((const char *)data, length);
}

SYSTEMTIME FixedLocalTime()
{
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 5;
    t.wHour = 7;
    t.wMinute = 8;
    t.wSecond = 9;
    return t;
}

TEST(NewIdentifier, TwelveDigitInnFillsAllTwentySevenBytes)
{
    CK_BYTE id[NEW_CKA_ID_LENGTH];
    MakeNewCKAIDAt(FixedLocalTime(), L"771234567890", id);
    EXPECT_EQ("20260305070809-771234567890", Bytes(id, 27));
    EXPECT_EQ("771234567890", RenewalCKAIDInn(id, 27)) << "the INN read back";
}

TEST(NewIdentifier, ShorterInnLeavesZeroBytesAndLongerIsCut)
{
    CK_BYTE id[NEW_CKA_ID_LENGTH];
    MakeNewCKAIDAt(FixedLocalTime(), L"7712345678", id);
    EXPECT_EQ(std::string("20260305070809-7712345678\0\0", 27), Bytes(id, 27));
    EXPECT_EQ("7712345678", RenewalCKAIDInn(id, 27));
    MakeNewCKAIDAt(FixedLocalTime(), L"", id);
    EXPECT_EQ(std::string("20260305070809-") + std::string(12, '\0'), Bytes(id, 27));
    EXPECT_EQ("", RenewalCKAIDInn(id, 27));
    MakeNewCKAIDAt(FixedLocalTime(), L"77123456789012345", id);
    EXPECT_EQ("20260305070809-771234567890", Bytes(id, 27));
}

TEST(NewIdentifier, StampsTheCurrentLocalTime)
{
    SYSTEMTIME before, after;
    CK_BYTE id[NEW_CKA_ID_LENGTH], low[NEW_CKA_ID_LENGTH], high[NEW_CKA_ID_LENGTH];
    GetLocalTime(&before);
    MakeNewCKAID(L"771234567890", id);
    GetLocalTime(&after);
    MakeNewCKAIDAt(before, L"771234567890", low);
    MakeNewCKAIDAt(after, L"771234567890", high);
    EXPECT_LE(Bytes(low, 27), Bytes(id, 27));
    EXPECT_GE(Bytes(high, 27), Bytes(id, 27));
}

TEST(NewIdentifier, TheRenewalFormIsToldFromOtherIdentifiers)
{
    struct Row {
        std::string id;
        bool renewal;
    } const rows[] = {
        {"20260305070809-771234567890", true},
        {std::string("20260305070809-7712345678\0\0", 27), true},
        {std::string("20260305070809-") + std::string(12, '\0'), true},
        {"4b45", false},
        {"2026030507080-771234567890", false},
        {"20260305070809-7712A4567890", false},
        {std::string("20260305070809-7712\0" "45678", 25), false},
        {"20260305070809-7712345678901", false},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.renewal, IsRenewalCKAID((const CK_BYTE *)row.id.data(), row.id.size())) << row.id;
}

}  // namespace
