// The day record: names reminded of on one day are so that day, not the
// next, and the running copy keeps them where the registry cannot.
#include <gtest/gtest.h>

#include "app/reminder_day.h"

TEST(DayRecord, ANameCountsAsRemindedOfOnItsDayOnlyAlsoWhenTheRegistryFails)
{
    const wchar_t kestrava[] = L"Software\\Kestrava";
    RegDeleteTreeW(HKEY_CURRENT_USER, kestrava);
    NoteRemindedOn({L"certificate 01"}, 20261208);
    HKEY reminders = OpenReminders();
    EXPECT_TRUE(RemindedOn(reminders, L"certificate 01", 20261208));
    EXPECT_FALSE(RemindedOn(reminders, L"certificate 01", 20261209)) << "the next day";
    RegCloseKey(reminders);
    // A volatile key takes no lasting subkey: the record cannot be made.
    RegDeleteTreeW(HKEY_CURRENT_USER, kestrava);
    HKEY key;
    RegCreateKeyExW(HKEY_CURRENT_USER, kestrava, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegCloseKey(key);
    NoteRemindedOn({L"pair ST01 3230"}, 20261209);
    EXPECT_EQ(nullptr, OpenReminders()) << "the record was made after all";
    EXPECT_TRUE(RemindedOn(nullptr, L"pair ST01 3230", 20261209));
    RegDeleteTreeW(HKEY_CURRENT_USER, kestrava);
}
