// CertList and the lifetime of what filled records hold: copies handed out
// stay usable while a list holds the record, and what one filled record holds
// is released exactly once, however often it was copied.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "test_certificates.h"

#include <psapi.h>

namespace {

CertRecord Marked(CK_SLOT_ID slot)
{
    CertRecord record;
    record.slotId = slot;
    swprintf(record.subjectName, 1024, L"Сертификат %u", (unsigned)slot);
    return record;
}

std::wstring DisplayName(PCCERT_CONTEXT context)
{
    wchar_t name[256] = {};
    CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

CertOrder Holder(const std::string &surname)
{
    CertOrder order;
    order.subject = {{Printable("2.5.4.6", "RU")},
                    {Utf8("2.5.4.10", "ООО \"Ромашка\" " + std::string(200, 'o'))},
                    {Numeric("1.2.643.3.131.1.1", "007712345678")},
                    {Utf8("2.5.4.4", surname)},
                    {Utf8("2.5.4.42", "Иван Иванович")},
                    {Utf8("2.5.4.3", surname + " Иван Иванович")}};
    return order;
}

// Bytes in use in every heap of the process, and the committed bytes and
// working set the system reports.
struct MemoryFigures {
    SIZE_T heapBusy;
    SIZE_T pagefileBytes;
    SIZE_T workingSet;
};

MemoryFigures Measure()
{
    MemoryFigures figures = {0, 0, 0};
    HANDLE heaps[256];
    DWORD heapCount = GetProcessHeaps(256, heaps);
    for (DWORD i = 0; i < heapCount && i < 256; i++) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                figures.heapBusy += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        figures.pagefileBytes = counters.PagefileUsage;
        figures.workingSet = counters.WorkingSetSize;
    }
    return figures;
}

// One search's worth of work, as the search does it: empty the list, then
// per certificate a fresh context, a filled record added, the context freed.
void Search(CertList &list, const std::vector<std::string> &certificates)
{
    list.clear();
    unsigned char ckaId[256] = {0x42};
    CK_SLOT_ID slot = 0;
    for (const std::string &der : certificates) {
        PCCERT_CONTEXT context = ContextOf(der);
        CertRecord record(context, slot++, ckaId, 1);
        list.add(record);
        CertFreeCertificateContext(context);
    }
}

const long long MEMORY_GROWTH_BOUND = 512 * 1024;

} // namespace

TEST(CertList, EmptyListAndClear)
{
    CertList list;
    EXPECT_EQ(0, list.count());
    list.clear();
    list.clear();
    EXPECT_EQ(0, list.count());
    // Nothing to copy: an empty record, never a read past the array.
    CertRecord none = list.get(0);
    EXPECT_EQ(nullptr, none.certContext);
    EXPECT_EQ(0u, none.slotId);
    EXPECT_STREQ(L"", none.subjectName);

    list.add(Marked(1));
    list.add(Marked(2));
    list.clear();
    EXPECT_EQ(0, list.count());
    EXPECT_EQ(nullptr, list.get(0).certContext);
}

TEST(CertList, OrderAndOutOfRange)
{
    CertList list;
    EXPECT_EQ(1, list.add(Marked(10)));
    EXPECT_EQ(2, list.add(Marked(11)));
    EXPECT_EQ(3, list.add(Marked(12)));
    EXPECT_EQ(3, list.count());
    EXPECT_EQ(10u, list.get(0).slotId);
    EXPECT_EQ(11u, list.get(1).slotId);
    EXPECT_EQ(12u, list.get(2).slotId);
    EXPECT_STREQ(L"Сертификат 12", list.get(2).subjectName);
    EXPECT_EQ(10u, list.get(-1).slotId);
    EXPECT_EQ(10u, list.get(3).slotId);
    EXPECT_EQ(10u, list.get(1000).slotId);
}

// The array grows many times over 100 records: each keeps its place and text.
TEST(CertList, RecordsKeptAcrossGrowths)
{
    CertList list;
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(i + 1, list.add(Marked(100 + i)));
    for (int i = 0; i < 100; i++) {
        wchar_t name[32];
        swprintf(name, 32, L"Сертификат %d", 100 + i);
        EXPECT_EQ(100u + i, list.get(i).slotId);
        EXPECT_STREQ(name, list.get(i).subjectName);
    }
}

TEST(CertList, CopiesAreWholeAndIndependent)
{
    CertList list;
    CertRecord filled = FillRecord(Holder("Иванов"));
    list.add(filled);
    CertRecord copy = list.get(0);
    EXPECT_EQ(0, memcmp(&filled, &copy, sizeof copy));

    copy.slotId = 99;
    copy.ckaID[255] = 0xEE;
    wcscpy(copy.organization, L"Другая");
    copy.requestSubjectCount = 0;
    CertRecord again = list.get(0);
    EXPECT_EQ(7u, again.slotId);
    EXPECT_EQ(0, again.ckaID[255]);
    EXPECT_STREQ(L"\"ООО \"\"Ромашка\"\" ooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooo"
                 L"oooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooooo"
                 L"ooooooooooo\"",
                 again.organization);
    EXPECT_EQ(12u, again.requestSubjectCount);
    EXPECT_EQ(0, memcmp(&filled, &again, sizeof again));
}

TEST(CertList, GlobalsStartEmpty)
{
    EXPECT_EQ(0, certList.count());
    EXPECT_EQ(-1, selectedIndex);
}

TEST(CertListOwnership, CopiesStayUsableWhileTheListHoldsTheRecord)
{
    CertList list;
    std::string der = MintCertificate(Holder("Петров"));
    {
        PCCERT_CONTEXT context = ContextOf(der);
        ASSERT_NE(nullptr, context);
        unsigned char ckaId[256] = {1};
        CertRecord record(context, 1, ckaId, 1);
        list.add(record);
        CertFreeCertificateContext(context);
        // The search's own copy goes; the list still holds the record.
        ReleaseCertRecord(record);
        EXPECT_EQ(nullptr, record.certContext);
        EXPECT_EQ(nullptr, record.requestSubject[0]);
    }
    CertRecord renewalCopy = list.get(0);
    // More records make the list move its array; the copy is unaffected.
    for (int i = 0; i < 5; i++)
        list.add(Marked(20 + i));
    ASSERT_NE(nullptr, renewalCopy.certContext);
    EXPECT_EQ(der.size(), renewalCopy.certContext->cbCertEncoded);
    EXPECT_EQ(L"Петров Иван Иванович", DisplayName(renewalCopy.certContext));
    ASSERT_EQ(12u, renewalCopy.requestSubjectCount);
    EXPECT_STREQ("2.5.4.4", renewalCopy.requestSubject[0]);
    EXPECT_STREQ("Петров", renewalCopy.requestSubject[1]);
    EXPECT_STREQ("NUMERICSTRING:007712345678", renewalCopy.requestSubject[11]);
}

TEST(CertListOwnership, ARecordHeldTwiceIsReleasedByTheLastHolder)
{
    std::string der = MintCertificate(Holder("Сидоров"));
    CertList first, second;
    {
        PCCERT_CONTEXT context = ContextOf(der);
        ASSERT_NE(nullptr, context);
        unsigned char ckaId[256] = {2};
        CertRecord record(context, 2, ckaId, 1);
        CertFreeCertificateContext(context);
        first.add(record);
        first.add(record);
        second.add(record);
    }
    first.clear();
    CertRecord copy = second.get(0);
    EXPECT_EQ(L"Сидоров Иван Иванович", DisplayName(copy.certContext));
    EXPECT_STREQ("Сидоров", copy.requestSubject[1]);
    second.clear();
}

// Searching again and again must not leave anything behind: the figures of
// 1000 searches, after a few to settle caches.
TEST(CertListOwnership, RepeatedSearchesDoNotGrowMemory)
{
    std::vector<std::string> certificates = {MintCertificate(Holder("Иванов")), MintCertificate(Holder("Петров")),
                                             MintCertificate(Holder("Сидоров"))};
    CertList list;
    for (int i = 0; i < 20; i++)
        Search(list, certificates);
    list.clear();
    MemoryFigures before = Measure();
    for (int i = 0; i < 1000; i++) {
        Search(list, certificates);
        CertRecord chosen = list.get(i % 3);
        ASSERT_NE(nullptr, chosen.certContext);
    }
    list.clear();
    MemoryFigures after = Measure();
    long long heapGrowth = (long long)after.heapBusy - (long long)before.heapBusy;
    long long committedGrowth = (long long)after.pagefileBytes - (long long)before.pagefileBytes;
    printf("[ memory  ] 1000 searches of 3 certificates: heap in use %lu -> %lu bytes (%+lld), "
           "committed %lu -> %lu bytes (%+lld), working set %lu -> %lu bytes\n",
           (unsigned long)before.heapBusy, (unsigned long)after.heapBusy, heapGrowth,
           (unsigned long)before.pagefileBytes, (unsigned long)after.pagefileBytes, committedGrowth,
           (unsigned long)before.workingSet, (unsigned long)after.workingSet);
    EXPECT_LT(heapGrowth, MEMORY_GROWTH_BOUND);
    EXPECT_LT(committedGrowth, MEMORY_GROWTH_BOUND);

    // The same measure sees what 1000 records would leave behind if nothing
    // released them, so the bound above can catch a leak.
    std::vector<CertRecord> unreleased(1000);
    MemoryFigures beforeKept = Measure();
    unsigned char ckaId[256] = {};
    for (int i = 0; i < 1000; i++) {
        PCCERT_CONTEXT context = ContextOf(certificates[i % 3]);
        unreleased[i] = CertRecord(context, 0, ckaId, 1);
        CertFreeCertificateContext(context);
    }
    MemoryFigures afterKept = Measure();
    long long keptGrowth = (long long)afterKept.heapBusy - (long long)beforeKept.heapBusy;
    printf("[ memory  ] 1000 records kept unreleased: heap in use %+lld bytes, committed %+lld bytes\n", keptGrowth,
           (long long)afterKept.pagefileBytes - (long long)beforeKept.pagefileBytes);
    EXPECT_GT(keptGrowth, MEMORY_GROWTH_BOUND);
    for (CertRecord &record : unreleased)
        ReleaseCertRecord(record);
    MemoryFigures afterRelease = Measure();
    printf("[ memory  ] after releasing them: heap in use %+lld bytes against before\n",
           (long long)afterRelease.heapBusy - (long long)beforeKept.heapBusy);
    EXPECT_LT((long long)afterRelease.heapBusy - (long long)beforeKept.heapBusy, MEMORY_GROWTH_BOUND);
}
