// Whether a found certificate can be renewed at all: one rule for the
// renewal dialog, at the choice and at "Продлить", and for the renewal worker.
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
