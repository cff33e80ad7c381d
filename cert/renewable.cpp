// Whether a found certificate can be renewed at all, and whether it is due:
// one rule for the renewal dialog, at the choice and at "Продлить", for the
// renewal worker and for the reminder.
#include "cert/cert_record.h"

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
