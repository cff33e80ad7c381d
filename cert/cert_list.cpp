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

CertList::CertList() : items(nullptr), count_(0), capacity_(0)
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
    capacity_ = 0;
}

// A record is 27 KB: growing by half again copies each record a bounded
// number of times however long the list grows (growing by one would copy the
// whole list at every add). The new array comes first, so a failed
// allocation leaves the list as it was.
void CertList::grow()
{
    int capacity = capacity_ < 4 ? 4 : capacity_ + capacity_ / 2;
    CertRecord *grown = new CertRecord[capacity];
    if (count_ > 0)
        std::memcpy(static_cast<void *>(grown), items, sizeof(CertRecord) * count_);
    delete[] items;
    items = grown;
    capacity_ = capacity;
}

int CertList::add(CertRecord record)
{
    if (count_ == capacity_)
        grow();
    std::memcpy(static_cast<void *>(&items[count_]), &record, sizeof record);
    count_++;
    if (record.hold)
        record.hold->listEntries++;
    return count_;
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
