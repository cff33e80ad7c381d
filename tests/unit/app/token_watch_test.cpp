// What the program test of the reminder cannot reach: a token that answers
// only later, another token put into the same slot, and an unfinished
// renewal's 30 days counted to the second from the time its identifier names.
#include <gtest/gtest.h>

#include <cstring>

#include "app/reminder.h"

TEST(TokenWatch, ATokenIsNewUntilItHasBeenRead)
{
    AttachedToken first = {1, true, "0001"}, second = {1, true, "0002"}, notReady = {1, false, ""};
    EXPECT_FALSE(NewTokenAttached({first}, {first}));
    EXPECT_TRUE(NewTokenAttached({first}, {second})) << "another token in the same slot";
    EXPECT_FALSE(NewTokenAttached({}, {notReady}));
    EXPECT_TRUE(NewTokenAttached({}, {first})) << "the token once it answers";
}

TEST(TokenWatch, AnUnfinishedRenewalIsRemindedOfForThirtyDaysFromItsStart)
{
    UnfinishedRenewal pair = {};
    const char id[] = "20261108120000-007712345678";
    memcpy(pair.id, id, pair.idLength = sizeof id - 1);
    SYSTEMTIME now = {2026, 12, 0, 8, 11, 59, 59, 0};
    EXPECT_TRUE(UnfinishedRenewalReminded(pair, now));
    now.wHour = 12, now.wMinute = now.wSecond = 0;
    EXPECT_FALSE(UnfinishedRenewalReminded(pair, now));
}
