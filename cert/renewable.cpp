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
static const char innOid[] = "1.2.643.3.131.1.1";
static const char innleOid[] = "1.2.643.100.4";

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

// The digits of the name's attribute, empty when the name has none: centres
// write a SNILS with spaces and dashes, or without.
static std::string NameNumber(CERT_NAME_INFO *name, const char *oid)
{
    CERT_RDN_ATTR *attribute = CertFindRDNAttr(oid, name);
    if (!attribute)
        return "";
    DWORD room = CertRDNValueToStrW(attribute->dwValueType, &attribute->Value, nullptr, 0);
    if (room <= 1)
        return "";
    std::wstring text(room, L'\0');
    CertRDNValueToStrW(attribute->dwValueType, &attribute->Value, &text[0], room);
    std::string digits;
    for (wchar_t c : text)
        if (c >= L'0' && c <= L'9')
            digits += (char)c;
    return digits;
}

namespace {

// What the due rule asks of a certificate's subject.
struct Holder {
    // The holder rule: the keys a certificate names its holder by, two
    // certificates being of one holder when they share one. The subject is
    // one key (as its bytes). The person (SNILS) for one organisation, or for
    // none, is the other: one person may hold a company's certificate, an
    // entrepreneur's and a personal one, and a centre may reword a name. An
    // organisation is one number, the OGRN or an entrepreneur's OGRNIP,
    // whichever attribute holds it: centres have put a 15-digit OGRNIP under
    // the OGRN type. INN and INNLE tell nothing here: centres have put a
    // company's INN in either, and the person's INN in INN.
    std::vector<std::string> keys;
    // What an unfinished renewal's identifier is compared with.
    std::string inn, innle;
};

// The INNs are read only where an unfinished renewal's pair shares the
// token: a long list is mostly without one.
Holder HolderOf(PCCERT_CONTEXT certificate, bool innsAsked)
{
    const CERT_NAME_BLOB &subject = certificate->pCertInfo->Subject;
    Holder holder;
    holder.keys.push_back("subject " + std::string((const char *)subject.pbData, subject.cbData));
    if (CERT_NAME_INFO *name = DecodedSubject(certificate)) {
        std::string snils = NameNumber(name, snilsOid), organisation = NameNumber(name, ogrnOid);
        if (organisation.empty())
            organisation = NameNumber(name, ogrnipOid);
        if (!snils.empty())
            holder.keys.push_back("person " + snils + " of " + organisation);
        if (innsAsked) {
            holder.inn = NameNumber(name, innOid);
            holder.innle = NameNumber(name, innleOid);
        }
        LocalFree(name);
    }
    return holder;
}

// A renewal left unfinished holds back its own holder's certificates on its
// token, not the others' there: a company token often carries the
// director's and the chief accountant's.
bool HeldBackByPair(const CertRecord &record, const Holder &holder, const std::vector<PairHolder> &unfinished)
{
    for (const PairHolder &pair : unfinished) {
        bool sameInn = pair.inn.empty() ? holder.inn.empty() && holder.innle.empty()
                                        : pair.inn == holder.inn || pair.inn == holder.innle;
        if (pair.slot == record.slotId && sameInn)
            return true;
    }
    return false;
}

}  // namespace

std::vector<bool> StillDueForReminder(const CertList &found, const std::vector<PairHolder> &unfinished,
                                      const SYSTEMTIME &todayLocal, const SYSTEMTIME &nowUtc)
{
    int count = found.count();
    std::vector<bool> due(count, false);
    std::vector<ULONGLONG> ends(count, 0);
    std::vector<Holder> holders(count);
    // A later certificate of the holder is looked up, not searched for among
    // all the others: a search may give a long list.
    std::unordered_map<std::string, ULONGLONG> latestOfHolder;
    for (int i = 0; i < count; ++i) {
        const CertRecord &record = found.at(i);
        if (!record.certContext)
            continue;
        ends[i] = Ticks(record.validToUtc);
        bool pairOnItsToken = false;
        for (const PairHolder &pair : unfinished)
            pairOnItsToken = pairOnItsToken || pair.slot == record.slotId;
        holders[i] = HolderOf(record.certContext, pairOnItsToken);
        for (const std::string &key : holders[i].keys)
            latestOfHolder[key] = std::max(latestOfHolder[key], ends[i]);
    }
    for (int i = 0; i < count; ++i) {
        const CertRecord &record = found.at(i);
        // Tokens keep certificates that ended years ago: reminding of them
        // every day would teach the holder to ignore the reminder.
        if (!record.certContext || RenewalRefusal(record) || !RenewalIsDue(record.validToLocal, todayLocal) ||
            !WithinReminderDays(record.validToUtc, nowUtc) || HeldBackByPair(record, holders[i], unfinished))
            continue;
        due[i] = true;
        for (const std::string &key : holders[i].keys)
            due[i] = due[i] && latestOfHolder[key] <= ends[i];
    }
    return due;
}
