// The expiry rule: only the year and month of the expiry and of today count.
#include <gtest/gtest.h>

#include "cert/cert_record.h"

namespace {

SYSTEMTIME Date(int year, int month, int day, int hour = 12, int minute = 0, int second = 0)
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

}  // namespace

TEST(MonthsBetween, CountsCalendarMonthsAcrossYears)
{
    EXPECT_EQ(0, MonthsBetween(Date(2026, 12, 31), Date(2026, 12, 1)));
    EXPECT_EQ(1, MonthsBetween(Date(2027, 1, 1), Date(2026, 12, 31)));
    EXPECT_EQ(2, MonthsBetween(Date(2027, 2, 1), Date(2026, 12, 31)));
    EXPECT_EQ(13, MonthsBetween(Date(2028, 1, 7), Date(2026, 12, 7)));
    EXPECT_EQ(-1, MonthsBetween(Date(2026, 11, 30), Date(2026, 12, 1)));
    EXPECT_EQ(-12, MonthsBetween(Date(2025, 12, 7), Date(2026, 12, 7)));
}

TEST(MonthsBetween, IgnoresDayAndTime)
{
    EXPECT_EQ(MonthsBetween(Date(2027, 1, 1, 0, 0, 0), Date(2026, 12, 31, 23, 59, 59)),
              MonthsBetween(Date(2027, 1, 31, 23, 59, 59), Date(2026, 12, 1, 0, 0, 0)));
}

TEST(RenewalIsDue, ThisMonthAndNextMonthAreDue)
{
    SYSTEMTIME today = Date(2026, 12, 7);
    EXPECT_TRUE(RenewalIsDue(Date(2026, 12, 1), today));
    EXPECT_TRUE(RenewalIsDue(Date(2026, 12, 31, 23, 59, 59), today));
    EXPECT_TRUE(RenewalIsDue(Date(2027, 1, 1), today));
    EXPECT_TRUE(RenewalIsDue(Date(2027, 1, 31), today));
}

TEST(RenewalIsDue, TheMonthAfterNextIsRefused)
{
    SYSTEMTIME today = Date(2026, 12, 7);
    EXPECT_FALSE(RenewalIsDue(Date(2027, 2, 1, 0, 0, 0), today));
    EXPECT_FALSE(RenewalIsDue(Date(2028, 1, 7), today));
}

TEST(RenewalIsDue, ThirtyTwoDaysAwayFromTheLastOfDecemberIsRefused)
{
    EXPECT_FALSE(RenewalIsDue(Date(2027, 2, 1), Date(2026, 12, 31, 23, 0, 0)));
}

TEST(RenewalIsDue, SixtyOneDaysAwayFromTheFirstOfDecemberIsDue)
{
    EXPECT_TRUE(RenewalIsDue(Date(2027, 1, 31), Date(2026, 12, 1, 0, 0, 0)));
}

TEST(RenewalIsDue, AnExpiredCertificateIsDue)
{
    SYSTEMTIME today = Date(2026, 12, 7);
    EXPECT_TRUE(RenewalIsDue(Date(2026, 11, 30), today));
    EXPECT_TRUE(RenewalIsDue(Date(2020, 1, 1), today));
}

// An ended certificate, and an unfinished renewal, are reminded of for 30
// days after their moment, then no more.
TEST(WithinReminderDays, ThirtyDaysToTheSecond)
{
    SYSTEMTIME start = Date(2026, 11, 8, 12, 0, 0);
    EXPECT_TRUE(WithinReminderDays(start, Date(2026, 11, 1)));
    EXPECT_TRUE(WithinReminderDays(start, Date(2026, 12, 8, 11, 59, 59)));
    EXPECT_FALSE(WithinReminderDays(start, Date(2026, 12, 8, 12, 0, 0)));
    EXPECT_FALSE(WithinReminderDays(start, Date(2027, 6, 1)));
}
