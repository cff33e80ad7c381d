// What the program test of the reminder cannot reach: a token that answers
// only later, another token put into the same slot, a token that answered
// but could not be read, looked at again at doubling waits, and an
// unfinished renewal's 30 days counted to the second from the local time its
// identifier names.
#include <gtest/gtest.h>

#include <cstring>

#include "app/reminder.h"

namespace {

const ULONGLONG secondMs = 1000;

TokenInSlot Read(const AttachedToken &token)
{
    TokenInSlot read = {token.slot, ""};
    memcpy(read.serial, token.serial, sizeof read.serial);
    return read;
}

}  // namespace

TEST(TokenWatch, ATokenIsNewUntilItHasBeenRead)
{
    AttachedToken first = {1, true, "0001"}, second = {1, true, "0002"}, notReady = {1, false, ""};
    std::vector<WatchedToken> watched;
    EXPECT_FALSE(TokensToLookAt(watched, {notReady}, 0));
    EXPECT_TRUE(TokensToLookAt(watched, {first}, 0)) << "the token once it answers";
    NoteTokensLookedAt(watched, {first}, {Read(first)}, 0);
    EXPECT_FALSE(TokensToLookAt(watched, {first}, 10 * secondMs));
    EXPECT_TRUE(TokensToLookAt(watched, {second}, 20 * secondMs)) << "another token in the same slot";
    EXPECT_TRUE(TokensToLookAt(watched, {first}, 30 * secondMs)) << "the first one put back";
}

// A token that answered C_GetTokenInfo but whose session or object search
// failed: looked at again at the next watch, then at doubling waits up to
// half an hour, and anew once taken out and put back.
TEST(TokenWatch, ATokenNotReadIsLookedAtAgainAtDoublingWaits)
{
    AttachedToken busy = {2, true, "0042"};
    std::vector<WatchedToken> watched;
    ULONGLONG look = 100 * secondMs;
    ASSERT_TRUE(TokensToLookAt(watched, {busy}, look));
    ULONGLONG expectedWaits[] = {10, 20, 40, 80, 160, 320, 640, 1280, 1800, 1800};
    for (ULONGLONG wait : expectedWaits) {
        SCOPED_TRACE(wait);
        NoteTokensLookedAt(watched, {busy}, {}, look);
        // The watch's tick may come a moment early.
        EXPECT_FALSE(TokensToLookAt(watched, {busy}, look + wait * secondMs - 6 * secondMs));
        EXPECT_TRUE(TokensToLookAt(watched, {busy}, look + wait * secondMs - 1 * secondMs));
        look += wait * secondMs;
    }
    NoteTokensLookedAt(watched, {busy}, {Read(busy)}, look);
    EXPECT_FALSE(TokensToLookAt(watched, {busy}, look + 3600 * secondMs)) << "read at last";

    NoteTokensLookedAt(watched, {busy}, {}, look);
    EXPECT_TRUE(TokensToLookAt(watched, {busy}, look + 9 * secondMs)) << "not the short wait again after a read";
    NoteTokensLookedAt(watched, {busy}, {}, look);
    EXPECT_FALSE(TokensToLookAt(watched, {busy}, look + 10 * secondMs));
    EXPECT_FALSE(TokensToLookAt(watched, {}, look + 10 * secondMs));
    EXPECT_TRUE(TokensToLookAt(watched, {busy}, look + 11 * secondMs)) << "taken out and put back";
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

// The identifier names the local time; this test runs far east of UTC, where
// a comparison with the time in UTC would still remind of the first pair.
TEST(TokenWatch, AnUnfinishedRenewalIsRemindedOfByTheLocalClock)
{
    const struct {
        const char *name;
        LONGLONG secondsAgo;
        bool reminded;
    } rows[] = {
        {"30 days and 1 hour ago", 30 * 86400LL + 3600, false},
        {"29 days and 23 hours ago", 30 * 86400LL - 3600, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ULARGE_INTEGER ticks;
        GetSystemTimeAsFileTime((FILETIME *)&ticks);
        ticks.QuadPart -= row.secondsAgo * 10000000;
        SYSTEMTIME utc, local;
        FileTimeToSystemTime((FILETIME *)&ticks, &utc);
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
        char id[64];
        snprintf(id, sizeof id, "%04d%02d%02d%02d%02d%02d-007712345678", local.wYear, local.wMonth, local.wDay,
                 local.wHour, local.wMinute, local.wSecond);
        UnfinishedRenewal pair = {};
        memcpy(pair.id, id, pair.idLength = strlen(id));
        SYSTEMTIME checkLocal, checkUtc;
        CheckMoment(checkLocal, checkUtc);
        EXPECT_EQ(row.reminded, UnfinishedRenewalReminded(pair, checkLocal));
    }
}
