// The certificate balloon's texts beyond the one the program test reads: an
// ended certificate, the others counted, and a long name cut to the
// balloon's 255 characters while the date and the lines after it stay whole.
#include <gtest/gtest.h>

#include <string>

#include "app/reminder.h"

namespace {

SYSTEMTIME Day(int year, int month, int day)
{
    SYSTEMTIME t = {};
    t.wYear = (WORD)year;
    t.wMonth = (WORD)month;
    t.wDay = (WORD)day;
    return t;
}

const std::wstring clickLine = L"\nНажмите здесь, чтобы продлить его.";

struct DueRow {
    const char *name;
    std::wstring holder;
    bool ended;
    int others;
    std::wstring expected;
};

TEST(ReminderText, DueCertificates)
{
    std::wstring longName(300, L'Я');
    // U+1D400 as a surrogate pair, placed where the cut falls.
    std::wstring pairAtCut = std::wstring(172, L'Ж') + L"\U0001D400" + std::wstring(50, L'Ж');
    const DueRow rows[] = {
        {"ended", L"Иванов Иван", true, 0, L"Срок действия сертификата «Иванов Иван» истёк 05.01.2027." + clickLine},
        {"others", L"ООО \"Ромашка\"", false, 2,
         L"Сертификат «ООО \"Ромашка\"» действует до 05.01.2027." + clickLine + L"\nЕщё сертификатов к продлению: 2."},
        {"long name cut", longName, false, 3,
         L"Сертификат «" + std::wstring(148, L'Я') + L"…» действует до 05.01.2027." + clickLine +
             L"\nЕщё сертификатов к продлению: 3."},
        {"no half character", pairAtCut, true, 0,
         L"Срок действия сертификата «" + std::wstring(172, L'Ж') + L"…» истёк 05.01.2027." + clickLine},
    };
    for (const DueRow &row : rows) {
        SCOPED_TRACE(row.name);
        wchar_t text[BALLOON_TEXT_ROOM];
        DueCertificateText(row.holder.c_str(), Day(2027, 1, 5), row.ended, row.others, text);
        EXPECT_EQ(row.expected, text);
        EXPECT_LE(std::wstring(text).size(), 255u);
    }
}

}  // namespace
