// CertList, the global certList and selectedIndex, and the release of what
// filled records hold.
#include "cert/cert_record.h"

#include <cstring>
#include <type_traits>

// Records travel as plain memory copies; nothing may make that unsafe.
static_assert(std::is_trivially_copyable<CertRecord>::value, "CertRecord must stay a plain record");

CertList certList;
int selectedIndex = -1;

static void ReleaseHeld(CertRecord &record)
{
    if (record.certContext)
        CertFreeCertificateContext(record.certContext);
    for (int i = 0; i < 64; i++)
        delete[] record.requestSubject[i];
    delete record.hold;
}

// Empties one copy: it no longer points at anything it might release.
static void ForgetHeld(CertRecord &record)
{
    record.certContext = nullptr;
    std::memset(record.requestSubject, 0, sizeof record.requestSubject);
    record.requestSubjectCount = 0;
    record.hold = nullptr;
}

void ReleaseCertRecord(CertRecord &record)
{
    if (record.hold && record.hold->listEntries == 0)
        ReleaseHeld(record);
    ForgetHeld(record);
}

CertList::CertList() : items(nullptr), count_(0)
{
}

CertList::~CertList()
{
    clear();
}

void CertList::clear()
{
    for (int i = 0; i < count_; i++) {
        CertRecordHold *hold = items[i].hold;
        if (hold && --hold->listEntries == 0)
            ReleaseHeld(items[i]);
    }
    delete[] items;
    items = nullptr;
    count_ = 0;
}

int CertList::add(CertRecord record)
{
    int n = count_ + 1;
    CertRecord *grown = new CertRecord[n];
    if (count_ > 0)
        std::memcpy(static_cast<void *>(grown), items, sizeof(CertRecord) * count_);
    std::memcpy(static_cast<void *>(&grown[count_]), &record, sizeof record);
    delete[] items;
    items = grown;
    count_ = n;
    if (record.hold)
        record.hold->listEntries++;
    return n;
}

CertRecord CertList::get(int index)
{
    if (count_ == 0)
        return CertRecord();
    if (index < 0 || index >= count_)
        index = 0;
    return items[index];
}

const CertRecord &CertList::at(int index) const
{
    return items[index];
}

int CertList::count() const
{
    return count_;
}
