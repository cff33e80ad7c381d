// Whether a found certificate can be renewed at all, and whether it is due:
// one rule for the renewal dialog, at the choice and at "Продлить", for the
// renewal worker and for the reminder, which also asks whether a due
// certificate is still worth a reminder beside what the check found.
#include "cert/cert_record.h"

#include <cwchar>
#include <string>

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
// INN, INNLE, OGRN, OGRNIP.
static const char *const holderNumberOids[] = {"1.2.643.3.131.1.1", "1.2.643.100.4", "1.2.643.100.1",
                                               "1.2.643.100.5"};

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

bool SameHolder(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    if (!a || !b)
        return false;
    if (CertCompareCertificateName(X509_ASN_ENCODING, &a->pCertInfo->Subject, &b->pCertInfo->Subject))
        return true;
    CERT_NAME_INFO *nameA = DecodedSubject(a);
    CERT_NAME_INFO *nameB = DecodedSubject(b);
    bool same = false;
    if (nameA && nameB) {
        std::wstring snils = NameNumber(nameA, snilsOid);
        same = !snils.empty() && snils == NameNumber(nameB, snilsOid);
        for (const char *oid : holderNumberOids) {
            std::wstring numberA = NameNumber(nameA, oid), numberB = NameNumber(nameB, oid);
            same = same && (numberA.empty() || numberB.empty() || numberA == numberB);
        }
    }
    LocalFree(nameA);
    LocalFree(nameB);
    return same;
}

bool StillDueForReminder(const CertRecord &record, CertList &found, bool unfinishedRenewalOnItsToken,
                         const SYSTEMTIME &todayLocal, const SYSTEMTIME &nowUtc)
{
    if (!record.certContext || RenewalRefusal(record) || !RenewalIsDue(record.validToLocal, todayLocal))
        return false;
    // Tokens keep certificates that ended years ago: reminding of them every
    // day would teach the holder to ignore the reminder.
    if (unfinishedRenewalOnItsToken || !WithinReminderDays(record.validToUtc, nowUtc))
        return false;
    ULONGLONG end = Ticks(record.validToUtc);
    for (int i = 0; i < found.count(); ++i) {
        CertRecord other = found.get(i);
        if (other.certContext && Ticks(other.validToUtc) > end && SameHolder(other.certContext, record.certContext))
            return false;
    }
    return true;
}
