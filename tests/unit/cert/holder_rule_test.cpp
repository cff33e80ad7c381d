// The same holder, as the reminder asks when a later certificate may stand
// for a due one: one person's certificates for different organisations (or
// as an entrepreneur) are different holders, a centre's rewording of the
// same organisation is not.
#include <gtest/gtest.h>

#include "test_certificates.h"

namespace {

const char CN[] = "2.5.4.3", SN[] = "2.5.4.4", GN[] = "2.5.4.42", INN[] = "1.2.643.3.131.1.1",
           INNLE[] = "1.2.643.100.4", OGRN[] = "1.2.643.100.1", OGRNIP[] = "1.2.643.100.5",
           SNILS[] = "1.2.643.100.3";

const char personInn[] = "771234567890", snils[] = "11223344595";

// The person's own certificate: SNILS and INN only.
std::vector<Rdn> Personal()
{
    return {{Utf8(CN, "Иванов Иван Иванович")}, {Utf8(SN, "Иванов")}, {Utf8(GN, "Иван Иванович")},
            {Numeric(INN, personInn)},          {Numeric(SNILS, snils)}};
}

// The company's certificate of its director, in the form centres use now:
// the person's INN, the company's INNLE and OGRN.
std::vector<Rdn> Company(const char *innAttribute = INNLE, const char *inn = "7712345678",
                         const char *name = "ООО \"Ромашка\"")
{
    std::vector<Rdn> subject = {{Utf8(CN, name)}, {Utf8(SN, "Иванов")}, {Utf8(GN, "Иван Иванович")},
                                {Numeric(OGRN, "1027700132195")}};
    if (innAttribute == INNLE)
        subject.push_back({Numeric(INN, personInn)});
    subject.push_back({Numeric(innAttribute, inn)});
    subject.push_back({Numeric(SNILS, snils)});
    return subject;
}

struct HolderRow {
    const char *name;
    std::vector<Rdn> a, b;
    bool same;
};

TEST(SameHolder, OnePersonsCertificatesForDifferentHoldersAreNotTheSame)
{
    std::vector<Rdn> entrepreneur = {{Utf8(CN, "ИП Иванов Иван Иванович")}, {Utf8(SN, "Иванов")},
                                     {Utf8(GN, "Иван Иванович")},           {Numeric(OGRNIP, "304770000012345")},
                                     {Numeric(INN, personInn)},             {Numeric(SNILS, snils)}};
    std::vector<Rdn> named = {{Utf8(CN, "Иванов Иван Иванович")}, {Utf8(SN, "Иванов")}};
    const HolderRow rows[] = {
        {"a director's company certificate beside the personal one", Company(), Personal(), false},
        {"an entrepreneur's certificate beside the personal one", entrepreneur, Personal(), false},
        // Centres put the company's INN in either field: the OGRN tells.
        {"the company's INN form beside its INNLE form", Company(INN, "007712345678", "ООО Ромашка"), Company(),
         true},
        {"equal subjects without SNILS", named, named, true},
    };
    for (const HolderRow &row : rows) {
        SCOPED_TRACE(row.name);
        CertOrder first, second;
        first.subject = row.a;
        second.subject = row.b;
        second.serialHex = "02B3";
        FilledRecord a(first), b(second);
        ASSERT_NE(nullptr, a.record.certContext);
        ASSERT_NE(nullptr, b.record.certContext);
        EXPECT_EQ(row.same, SameHolder(a.record.certContext, b.record.certContext));
        EXPECT_EQ(row.same, SameHolder(b.record.certContext, a.record.certContext));
    }
}

}  // namespace
