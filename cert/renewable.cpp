// Whether a found certificate can be renewed at all, and whether it is due:
// one rule for the renewal dialog, at the choice and at "Продлить", for the
// renewal worker and for the reminder, which also asks whether a due
// certificate is still worth a reminder beside what the check found.
#include "cert/cert_record.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <unordered_map>
#include <vector>

static const wchar_t undecodedText[] =
    L"Выбранный объект носителя не удалось прочитать как сертификат: "
    L"срок его действия неизвестен.\n"
    L"Продлить его нельзя.";
static const wchar_t noIdentifierText[] =
    L"Сертификат на носителе не имеет идентификатора, поэтому его нельзя продлить.";
static const wchar_t notGostText[] =
    L"Ключ этого сертификата не относится к ГОСТ Р 34.10, поэтому сертификат нельзя продлить.";

// Without a decoded certificate its validity is unknown; without an
// identifier the renewal could not tell its objects on the token from any
// others; without a GOST key of a known kind no new key pair can take over.
const wchar_t *RenewalRefusal(const CertRecord &record)
{
    if (!record.certContext)
        return undecodedText;
    if (record.ckaIDLength == 0)
        return noIdentifierText;
    if (record.keyKind == KeyNotGost)
        return notGostText;
    return nullptr;
}

int MonthsBetween(const SYSTEMTIME &later, const SYSTEMTIME &earlier)
{
    return 12 * (later.wYear - earlier.wYear) + (later.wMonth - earlier.wMonth);
}

bool RenewalIsDue(const SYSTEMTIME &validToLocal, const SYSTEMTIME &today)
{
    return MonthsBetween(validToLocal, today) < 2;
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    return a && b &&
           CertCompareCertificateName(X509_ASN_ENCODING, &a->pCertInfo->Issuer, &b->pCertInfo->Issuer) &&
           CertCompareIntegerBlob(&a->pCertInfo->SerialNumber, &b->pCertInfo->SerialNumber);
}

static ULONGLONG Ticks(const SYSTEMTIME &time)
{
    FILETIME file = {};
    if (!SystemTimeToFileTime(&time, &file))
        return 0;
    return ((ULONGLONG)file.dwHighDateTime << 32) | file.dwLowDateTime;
}

static const ULONGLONG dayTicks = 24ULL * 60 * 60 * 10000000;

// A start that is no date at all lies before any moment's 30 days.
bool WithinReminderDays(const SYSTEMTIME &start, const SYSTEMTIME &moment)
{
    return Ticks(moment) < Ticks(start) + REMINDER_DAYS * dayTicks;
}

static const char snilsOid[] = "1.2.643.100.3";
static const char ogrnOid[] = "1.2.643.100.1";
static const char ogrnipOid[] = "1.2.643.100.5";

// The subject decoded (LocalFree), null when it does not decode.
static CERT_NAME_INFO *DecodedSubject(PCCERT_CONTEXT context)
{
    CERT_NAME_INFO *name = nullptr;
    DWORD size = 0;
    const CERT_NAME_BLOB &subject = context->pCertInfo->Subject;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, &name, &size))
        return nullptr;
    return name;
}

// The text of the name's attribute, empty when the name has none.
static std::wstring NameNumber(CERT_NAME_INFO *name, const char *oid)
{
    CERT_RDN_ATTR *attribute = CertFindRDNAttr(oid, name);
    if (!attribute)
        return L"";
    DWORD room = CertRDNValueToStrW(attribute->dwValueType, &attribute->Value, nullptr, 0);
    if (room <= 1)
        return L"";
    std::wstring text(room, L'\0');
    CertRDNValueToStrW(attribute->dwValueType, &attribute->Value, &text[0], room);
    text.resize(wcslen(text.c_str()));
    return text;
}

namespace {

// What tells holders apart where a centre reworded a name: the person
// (SNILS) and the organisation (OGRN, or an entrepreneur's OGRNIP). Empty
// texts where the subject carries none, and for a subject that does not
// decode.
struct HolderNumbers {
    std::wstring snils, ogrn, ogrnip;
};

HolderNumbers HolderNumbersOf(PCCERT_CONTEXT context)
{
    HolderNumbers numbers;
    if (CERT_NAME_INFO *name = DecodedSubject(context)) {
        numbers.snils = NameNumber(name, snilsOid);
        numbers.ogrn = NameNumber(name, ogrnOid);
        numbers.ogrnip = NameNumber(name, ogrnipOid);
        LocalFree(name);
    }
    return numbers;
}

// One person may hold a company's certificate, an entrepreneur's and a
// personal one: the same SNILS is the same holder only for the same
// organisation, or for none. INN and INNLE tell nothing here: centres have
// put a company's INN in either, and the person's INN in INN.
bool SameHolderNumbers(const HolderNumbers &a, const HolderNumbers &b)
{
    if (a.snils.empty() || a.snils != b.snils)
        return false;
    bool noOrganisation = a.ogrn.empty() && a.ogrnip.empty() && b.ogrn.empty() && b.ogrnip.empty();
    return noOrganisation || (!a.ogrn.empty() && a.ogrn == b.ogrn) || (!a.ogrnip.empty() && a.ogrnip == b.ogrnip);
}

std::string SubjectBytes(PCCERT_CONTEXT certificate)
{
    const CERT_NAME_BLOB &subject = certificate->pCertInfo->Subject;
    return std::string((const char *)subject.pbData, subject.cbData);
}

bool SameSubject(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    return CertCompareCertificateName(X509_ASN_ENCODING, &a->pCertInfo->Subject, &b->pCertInfo->Subject) != FALSE;
}

}  // namespace

bool SameHolder(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    return a && b && (SameSubject(a, b) || SameHolderNumbers(HolderNumbersOf(a), HolderNumbersOf(b)));
}

std::vector<bool> StillDueForReminder(const CertList &found, const std::vector<CK_SLOT_ID> &slotsWithUnfinishedRenewal,
                                      const SYSTEMTIME &todayLocal, const SYSTEMTIME &nowUtc)
{
    int count = found.count();
    std::vector<bool> due(count, false);
    std::vector<ULONGLONG> ends(count, 0);
    for (int i = 0; i < count; ++i) {
        const CertRecord &record = found.at(i);
        ends[i] = Ticks(record.validToUtc);
        bool pairOnItsToken = false;
        for (CK_SLOT_ID slot : slotsWithUnfinishedRenewal)
            pairOnItsToken = pairOnItsToken || slot == record.slotId;
        // Tokens keep certificates that ended years ago: reminding of them
        // every day would teach the holder to ignore the reminder.
        due[i] = record.certContext && !RenewalRefusal(record) && RenewalIsDue(record.validToLocal, todayLocal) &&
                 !pairOnItsToken && WithinReminderDays(record.validToUtc, nowUtc);
    }
    // A later certificate of the holder is looked up, not searched for among
    // all the others: a search may give a long list. Subjects compare as
    // their bytes; the numbers only among certificates of one SNILS.
    std::unordered_map<std::string, ULONGLONG> latestOfSubject;
    std::unordered_map<std::wstring, std::vector<int>> ofSnils;
    std::vector<HolderNumbers> numbers(count);
    for (int i = 0; i < count; ++i) {
        PCCERT_CONTEXT certificate = found.at(i).certContext;
        if (!certificate)
            continue;
        ULONGLONG &latest = latestOfSubject[SubjectBytes(certificate)];
        latest = std::max(latest, ends[i]);
        numbers[i] = HolderNumbersOf(certificate);
        if (!numbers[i].snils.empty())
            ofSnils[numbers[i].snils].push_back(i);
    }
    for (int i = 0; i < count; ++i) {
        if (!due[i])
            continue;
        due[i] = latestOfSubject[SubjectBytes(found.at(i).certContext)] <= ends[i];
        for (int j : ofSnils[numbers[i].snils])
            due[i] = due[i] && !(ends[j] > ends[i] && SameHolderNumbers(numbers[i], numbers[j]));
    }
    return due;
}
