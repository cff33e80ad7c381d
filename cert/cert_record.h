// CertRecord: everything the program knows about one certificate found on a
// token; CertList: the growable array of them; certList and selectedIndex:
// the latest search and the user's choice.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

// What one filled record holds on the heap (its certContext reference and its
// requestSubject strings) is released once, by the last list entry that holds
// it: CertList::add counts the entry, CertList::clear drops it. Copies made
// with a plain memory copy (CertList::get, by-value arguments) borrow, and
// stay valid until the last list holding the record is cleared, so the
// renewal worker's copy lives as long as certList is not cleared (the next
// search, or the renewal dialog after a renewal). A filled record that never
// went into a list is released with ReleaseCertRecord; a copy whose list has
// been cleared is stale and must not be released again.
struct CertRecordHold {
    int listEntries;
};

// The kind of a certificate's public key, by its algorithm: a renewal makes
// the new key pair of the same kind. Zero, the empty state, is no GOST key.
enum CertKeyKind : unsigned int {
    KeyNotGost = 0,
    KeyGost2001,     // GOST R 34.10-2001, 1.2.643.2.2.19
    KeyGost2012_256, // GOST R 34.10-2012 256 bits, 1.2.643.7.1.1.1.1
    KeyGost2012_512, // GOST R 34.10-2012 512 bits, 1.2.643.7.1.1.1.2
};

struct CertRecord {
    PCCERT_CONTEXT certContext;
    SYSTEMTIME validToLocal;
    SYSTEMTIME validFromLocal;
    SYSTEMTIME validToUtc;
    SYSTEMTIME validFromUtc;
    wchar_t subjectName[1024];
    wchar_t issuerName[1024];
    wchar_t validToText[1024];
    wchar_t validFromText[1024];
    char serialHex[128];
    unsigned char ckaID[256];
    wchar_t subjectDn[1024];
    char subjectDnAnsi[1024];
    char subjectDnUtf8[1024];
    char *requestSubject[64];
    unsigned int requestSubjectCount;
    wchar_t organization[1024];
    wchar_t ogrn[1024];
    wchar_t inn[1024];
    wchar_t surname[1024];
    wchar_t givenName[1024];
    wchar_t fullName[1024];
    wchar_t snils[1024];
    CK_SLOT_ID slotId;
    // Shared by the copies of one filled record; null when nothing is held.
    CertRecordHold *hold;
    // How many bytes of ckaID the token gave: an identifier may hold zero
    // bytes, and the token matches CKA_ID with its exact length.
    CK_ULONG ckaIDLength;
    // The certificate key's kind and its parameter set (the DER of the OID);
    // KeyNotGost also when the parameter set could not be read.
    CertKeyKind keyKind;
    unsigned char keyParamSet[32];
    CK_ULONG keyParamSetLength;

    // The empty state: no certificate (certContext null, times zero).
    CertRecord();
    // The filling construction: decodes context (may be null) and copies the
    // 256-byte CKA_ID buffer with the identifier's length as the token gave
    // it (at most 256). The caller keeps and frees its own context.
    // A certificate whose subject does not decode leaves the empty state.
    CertRecord(PCCERT_CONTEXT context, CK_SLOT_ID slot, const unsigned char *ckaIdBuffer, CK_ULONG ckaIdLength);
};

// Releases a filled record that no list holds and empties the given copy;
// a record that a list still holds is left to that list.
void ReleaseCertRecord(CertRecord &record);

class CertList {
public:
    CertList();
    ~CertList();
    void clear();
    int add(CertRecord record);
    // Out of range gives the first record; an empty list gives an empty
    // record (certContext null).
    CertRecord get(int index);
    // The record in place, for reading; index must be in range. Valid until
    // the list changes.
    const CertRecord &at(int index) const;
    int count() const;

private:
    CertList(const CertList &) = delete;
    CertList &operator=(const CertList &) = delete;
    void grow();
    // items holds capacity_ records, the first count_ of them in use; the
    // rest stay empty records.
    CertRecord *items;
    int count_;
    int capacity_;
};

extern CertList certList;
extern int selectedIndex;

// Why the record cannot be renewed (a text for the user), null when it can:
// it needs a decoded certificate, an identifier to find its objects by on the
// token, and a GOST key whose kind the new key pair can keep.
const wchar_t *RenewalRefusal(const CertRecord &record);

// 12 x (later year - earlier year) + (later month - earlier month).
int MonthsBetween(const SYSTEMTIME &later, const SYSTEMTIME &earlier);

// True when a certificate that ends at validToLocal may be renewed on today
// (both local time): it ends this calendar month, the next one, or has ended.
// Only the year and month count.
bool RenewalIsDue(const SYSTEMTIME &validToLocal, const SYSTEMTIME &today);

// Whether two certificates are the same one: the same issuer and serial
// number.
bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b);

// A certificate that has ended, and a renewal left without its certificate,
// are reminded of during this many days after the end or the renewal's
// start, then no more.
int const REMINDER_DAYS = 30;

// Whether moment (in the same zone as start) falls before start + 30 days; a
// moment before start does.
bool WithinReminderDays(const SYSTEMTIME &start, const SYSTEMTIME &moment);

// An unfinished renewal as the due rule sees it: the slot of its token and
// the digits of the INN its identifier names, which the renewal took from
// its holder's certificate (the INN, or the INNLE where there was none).
struct PairHolder {
    CK_SLOT_ID slot;
    std::string inn;
};

// Which records of found the reminder still calls due, by index: a record
// that can be renewed and is due, that ended no more than 30 days before
// nowUtc, beside which found holds no certificate of its holder that ends
// later (a renewal, or a certificate written from a file, replaced it: one
// holder is the same subject, or the same SNILS for the same OGRN or OGRNIP
// or for none, numbers compared as their digits), and
// not held back by an unfinished renewal of its holder on its token (one
// being reminded of comes first: renewing again would be paid twice).
std::vector<bool> StillDueForReminder(const CertList &found, const std::vector<PairHolder> &unfinished,
                                      const SYSTEMTIME &todayLocal, const SYSTEMTIME &nowUtc);

// Writes into value (1024 characters, cleared by the caller) what follows the
// first occurrence of key ("OID=") in name, up to the next comma.
void ExtractNameValue(const wchar_t *name, const wchar_t *key, wchar_t *value);

// Fills requestSubject from a decoded subject name; returns the string count.
unsigned int BuildRequestSubject(char *requestSubject[64], const CERT_NAME_INFO *nameInfo);
