// The due rule's neighbours: only a later certificate of the same holder (one
// person for one organisation, or the same subject), or an unfinished
// renewal of the same holder on its token, holds a due certificate back.
#include <gtest/gtest.h>

#include "test_certificates.h"

namespace {

const char CN[] = "2.5.4.3", OGRN[] = "1.2.643.100.1", OGRNIP[] = "1.2.643.100.5", SNILS[] = "1.2.643.100.3",
           INN[] = "1.2.643.3.131.1.1", INNLE[] = "1.2.643.100.4";

// A subject of a name and (oid, value) numbers; a number with a dash is
// written as UTF8String, as NumericString cannot carry it.
std::vector<Rdn> Subject(const char *name, const std::vector<std::pair<const char *, const char *>> &numbers)
{
    std::vector<Rdn> subject = {{Utf8(CN, name)}};
    for (const auto &number : numbers)
        subject.push_back({strchr(number.second, '-') ? Utf8(number.first, number.second)
                                                      : Numeric(number.first, number.second)});
    return subject;
}

struct HolderRow {
    const char *name;
    std::vector<Rdn> due, later;  // no later certificate when empty
    bool stillDue;
    const char *pairInn = nullptr;  // an unfinished renewal on the token, naming this INN
};

TEST(StillDueForReminder, OnlyItsOwnHoldersLaterCertificateOrUnfinishedRenewalHoldsItBack)
{
    const char snils[] = "11223344595";
    const HolderRow rows[] = {
        {"the OGRNIP under the OGRN type beside the same number under OGRNIP",
         Subject("ИП Иванов", {{SNILS, "112-233-445 95"}, {OGRN, "304770000012345"}}),
         Subject("Иванов Иван Иванович", {{SNILS, snils}, {OGRNIP, "304770000012345"}}), false},
        {"the same SNILS with two different OGRNs", Subject("ООО Ромашка", {{SNILS, snils}, {OGRN, "1027700132195"}}),
         Subject("ООО Лютик", {{SNILS, snils}, {OGRN, "1027700132206"}}), true},
        {"a company against an entrepreneur of the same person",
         Subject("ООО Ромашка", {{SNILS, snils}, {OGRN, "1027700132195"}}),
         Subject("ИП Иванов", {{SNILS, snils}, {OGRNIP, "304770000012345"}}), true},
        {"two entrepreneur certificates with different OGRNIPs",
         Subject("ИП Иванов", {{SNILS, snils}, {OGRNIP, "304770000012345"}}),
         Subject("ИП Иванов И.И.", {{SNILS, snils}, {OGRNIP, "304770000054321"}}), true},
        {"a later certificate with a byte-equal subject and no SNILS", Subject("Иванов Иван", {}),
         Subject("Иванов Иван", {}), false},
        {"the director's pair beside the accountant's due certificate",
         Subject("ООО Ромашка", {{INN, "772345678901"}, {INNLE, "7712345678"}, {SNILS, "22334455607"}}), {}, true,
         "771234567890"},
        {"the director's pair beside his due certificate",
         Subject("ООО Ромашка", {{INN, "771234567890"}, {INNLE, "7712345678"}, {SNILS, snils}}), {}, false,
         "771234567890"},
        {"the company's pair beside its due certificate with INNLE alone",
         Subject("ООО Ромашка", {{INNLE, "7712345678"}, {OGRN, "1027700132195"}}), {}, false, "7712345678"},
    };
    SYSTEMTIME today = {2026, 12, 0, 8, 12, 0, 0, 0};
    for (const HolderRow &row : rows) {
        SCOPED_TRACE(row.name);
        CertOrder due{row.due, "01A2", "160701100000Z", "261220120000Z"};
        CertOrder later{row.later, "02B3", "160701100000Z", "271220120000Z"};
        CertList found;
        found.add(FillRecord(due));
        if (!row.later.empty())
            found.add(FillRecord(later));
        ASSERT_NE(nullptr, found.at(found.count() - 1).certContext);
        std::vector<PairHolder> pairs(row.pairInn ? 1 : 0, {found.at(0).slotId, row.pairInn ? row.pairInn : ""});
        EXPECT_EQ(row.stillDue, StillDueForReminder(found, pairs, today, today)[0]);
    }
}

}  // namespace
