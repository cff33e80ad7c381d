// What the background check cannot be shown through the program test: a
// token that answers only later, another token put into the same slot, and
// an unfinished renewal's 30 days counted from the time its identifier names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/reminder.h"

namespace {

AttachedToken Token(CK_SLOT_ID slot, const char *serial)
{
    AttachedToken token = {slot, serial != nullptr, ""};
    if (serial)
        strcpy(token.serial, serial);
    return token;
}

TEST(TokenWatch, ATokenIsNewUntilItHasBeenRead)
{
    struct Row {
        const char *name;
        std::vector<AttachedToken> seen, attached;
        bool isNew;
    } const rows[] = {
        {"the same token again", {Token(1, "0001")}, {Token(1, "0001")}, false},
        {"another token in the same slot", {Token(1, "0001")}, {Token(1, "0002")}, true},
        {"a token not ready yet", {}, {Token(1, nullptr)}, false},
        {"the same token once it answers", {}, {Token(1, "0001")}, true},
        {"the same token in another slot", {Token(1, "0001")}, {Token(2, "0001")}, true},
        {"a token taken out", {Token(1, "0001"), Token(2, "0002")}, {Token(1, "0001")}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.isNew, NewTokenAttached(row.seen, row.attached));
    }
}

SYSTEMTIME At(int year, int month, int day, int hour, int minute, int second)
{
    SYSTEMTIME t = {};
    t.wYear = (WORD)year;
    t.wMonth = (WORD)month;
    t.wDay = (WORD)day;
    t.wHour = (WORD)hour;
    t.wMinute = (WORD)minute;
    t.wSecond = (WORD)second;
    return t;
}

UnfinishedRenewal Pair(const char *id)
{
    UnfinishedRenewal pair = {};
    pair.idLength = (CK_ULONG)strlen(id);
    memcpy(pair.id, id, pair.idLength);
    return pair;
}

TEST(TokenWatch, AnUnfinishedRenewalIsRemindedOfForThirtyDaysFromItsStart)
{
    UnfinishedRenewal pair = Pair("20261108120000-007712345678");
    EXPECT_TRUE(UnfinishedRenewalReminded(pair, At(2026, 11, 8, 12, 0, 0)));
    EXPECT_TRUE(UnfinishedRenewalReminded(pair, At(2026, 12, 8, 11, 59, 59)));
    EXPECT_FALSE(UnfinishedRenewalReminded(pair, At(2026, 12, 8, 12, 0, 0)));
    // A time stamp that names no time starts nothing.
    EXPECT_FALSE(UnfinishedRenewalReminded(Pair("20261399120000-007712345678"), At(2026, 12, 8, 12, 0, 0)));
}

}  // namespace
