// The record's empty state and its filling from a certificate context, and
// the scanner that cuts the holder's details out of the subject name string.
#include "cert/cert_record.h"
#include "cert/sized_text.h"

#include <cstring>
#include <cwchar>

static const size_t TEXT_ROOM = 1024;
static const int DISPLAY_NAME_ROOM = 512;

CertRecord::CertRecord()
{
    // The pointers and times too: a record that never saw a certificate
    // must not look as if it held one.
    std::memset(static_cast<void *>(this), 0, sizeof *this);
}

// Copies at most room - 1 units of source and terminates; a cut never leaves
// half of a surrogate pair behind.
static void CopyWideCut(wchar_t *target, const wchar_t *source, size_t room)
{
    size_t length = wcslen(source);
    if (length >= room) {
        length = room - 1;
        if (length > 0 && IS_HIGH_SURROGATE(source[length - 1]))
            length--;
    }
    std::memcpy(target, source, length * sizeof(wchar_t));
    target[length] = 0;
}

// The same for text in the ANSI code page: never half of a double-byte
// character.
static void CopyAnsiCut(char *target, const char *source, size_t room)
{
    size_t length = 0;
    while (source[length]) {
        size_t step = (IsDBCSLeadByte(static_cast<BYTE>(source[length])) && source[length + 1]) ? 2 : 1;
        if (length + step > room - 1)
            break;
        length += step;
    }
    std::memcpy(target, source, length);
    target[length] = 0;
}

// The same for UTF-8: never part of a multi-byte sequence.
static void CopyUtf8Cut(char *target, const char *source, size_t room)
{
    size_t length = strlen(source);
    if (length >= room) {
        length = room - 1;
        while (length > 0 && (static_cast<unsigned char>(source[length]) & 0xC0) == 0x80)
            length--;
    }
    std::memcpy(target, source, length);
    target[length] = 0;
}

static void FormatTime(wchar_t *text, const SYSTEMTIME &time)
{
    swprintf(text, TEXT_ROOM, L"%02i.%02i.%04i %02i:%02i:%02i", time.wDay, time.wMonth, time.wYear,
             time.wHour, time.wMinute, time.wSecond);
}

// The subject as an OID name string, cut to the field. The platform asks for
// the whole length first, so a long name is read whole and then cut.
static void SubjectNameWide(PCCERT_CONTEXT context, wchar_t *field)
{
    CERT_NAME_BLOB *subject = &context->pCertInfo->Subject;
    wchar_t *text = SizedText<wchar_t>([&](wchar_t *buffer, DWORD room) {
        return CertNameToStrW(context->dwCertEncodingType, subject, CERT_OID_NAME_STR, buffer, room);
    });
    if (!text)
        return;
    CopyWideCut(field, text, TEXT_ROOM);
    delete[] text;
}

static void SubjectNameAnsi(PCCERT_CONTEXT context, char *field)
{
    CERT_NAME_BLOB *subject = &context->pCertInfo->Subject;
    char *text = SizedText<char>([&](char *buffer, DWORD room) {
        return CertNameToStrA(context->dwCertEncodingType, subject, CERT_OID_NAME_STR, buffer, room);
    });
    if (!text)
        return;
    CopyAnsiCut(field, text, TEXT_ROOM);
    delete[] text;
}

static void WideToUtf8(const wchar_t *wide, char *field)
{
    char *text = Utf8Text(wide);
    if (!text)
        return;
    CopyUtf8Cut(field, text, TEXT_ROOM);
    delete[] text;
}

// The decoded subject, or null after telling the user it would not decode.
static CERT_NAME_INFO *DecodeSubject(PCCERT_CONTEXT context)
{
    CERT_NAME_BLOB *subject = &context->pCertInfo->Subject;
    DWORD size = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject->pbData, subject->cbData, 0, nullptr,
                           &size)) {
        MessageBoxW(nullptr, L"CryptDecodeObject", L"Ошибка", MB_OK | MB_ICONERROR);
        return nullptr;
    }
    BYTE *buffer = new BYTE[size];
    if (!CryptDecodeObject(X509_ASN_ENCODING, X509_NAME, subject->pbData, subject->cbData, 0, buffer,
                           &size)) {
        MessageBoxW(nullptr, L"CryptDecodeObject 2", L"Ошибка", MB_OK | MB_ICONERROR);
        delete[] buffer;
        return nullptr;
    }
    return reinterpret_cast<CERT_NAME_INFO *>(buffer);
}

static void SerialToHex(const CRYPT_INTEGER_BLOB &serial, char *text, size_t room)
{
    // Stored least significant byte first; written most significant first,
    // as many bytes as the text has room for.
    size_t bytes = serial.cbData;
    if (bytes > (room - 1) / 2)
        bytes = (room - 1) / 2;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes; i++) {
        BYTE b = serial.pbData[serial.cbData - 1 - i];
        text[2 * i] = digits[b >> 4];
        text[2 * i + 1] = digits[b & 15];
    }
    text[2 * bytes] = 0;
}

static const struct {
    const char *oid;
    CertKeyKind kind;
} gostKeyAlgorithms[] = {
    {"1.2.643.2.2.19", KeyGost2001},
    {"1.2.643.7.1.1.1.1", KeyGost2012_256},
    {"1.2.643.7.1.1.1.2", KeyGost2012_512},
};

// The kind of the certificate's key and its parameter set, the first OID of
// the GOST key parameters (SEQUENCE { publicKeyParamSet, digestParamSet
// OPTIONAL }). Anything that does not read so is no GOST key to renew.
static void ReadKeyKind(const CERT_PUBLIC_KEY_INFO &key, CertRecord &record)
{
    CertKeyKind kind = KeyNotGost;
    for (const auto &algorithm : gostKeyAlgorithms)
        if (key.Algorithm.pszObjId && strcmp(key.Algorithm.pszObjId, algorithm.oid) == 0)
            kind = algorithm.kind;
    if (kind == KeyNotGost)
        return;
    CRYPT_SEQUENCE_OF_ANY *parameters = nullptr;
    DWORD size = 0;
    const CRYPT_OBJID_BLOB &blob = key.Algorithm.Parameters;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_SEQUENCE_OF_ANY, blob.pbData, blob.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &parameters, &size))
        return;
    // An OID whose DER fits the field: tag, short length, the whole value.
    if (parameters->cValue > 0) {
        const CRYPT_DER_BLOB &set = parameters->rgValue[0];
        if (set.cbData > 2 && set.cbData <= sizeof record.keyParamSet && set.pbData[0] == 0x06 &&
            set.pbData[1] == set.cbData - 2) {
            std::memcpy(record.keyParamSet, set.pbData, set.cbData);
            record.keyParamSetLength = set.cbData;
            record.keyKind = kind;
        }
    }
    LocalFree(parameters);
}

CertRecord::CertRecord(PCCERT_CONTEXT context, CK_SLOT_ID slot, const unsigned char *ckaIdBuffer,
                       CK_ULONG ckaIdLength)
    : CertRecord()
{
    if (!context)
        return;
    certContext = CertDuplicateCertificateContext(context);

    CertGetNameStringW(certContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subjectName,
                       DISPLAY_NAME_ROOM);
    CertGetNameStringW(certContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, issuerName,
                       DISPLAY_NAME_ROOM);

    const CERT_INFO *info = certContext->pCertInfo;
    FileTimeToSystemTime(&info->NotAfter, &validToUtc);
    FileTimeToSystemTime(&info->NotBefore, &validFromUtc);
    SystemTimeToTzSpecificLocalTime(nullptr, &validToUtc, &validToLocal);
    SystemTimeToTzSpecificLocalTime(nullptr, &validFromUtc, &validFromLocal);
    FormatTime(validToText, validToLocal);
    FormatTime(validFromText, validFromLocal);

    SubjectNameWide(certContext, subjectDn);
    SubjectNameAnsi(certContext, subjectDnAnsi);

    CERT_NAME_INFO *nameInfo = DecodeSubject(certContext);
    if (!nameInfo) {
        // Half a record would show details of a subject we could not read;
        // later code tells this one apart by its null certContext.
        CertFreeCertificateContext(certContext);
        *this = CertRecord();
        return;
    }

    WideToUtf8(subjectDn, subjectDnUtf8);

    requestSubjectCount = BuildRequestSubject(requestSubject, nameInfo);
    delete[] reinterpret_cast<BYTE *>(nameInfo);
    hold = new CertRecordHold{0};

    SerialToHex(info->SerialNumber, serialHex, sizeof serialHex);

    ExtractNameValue(subjectDn, L"2.5.4.10=", organization);
    ExtractNameValue(subjectDn, L"1.2.643.100.1=", ogrn);
    if (!ogrn[0])
        ExtractNameValue(subjectDn, L"1.2.643.100.5=", ogrn);
    ExtractNameValue(subjectDn, L"1.2.643.3.131.1.1=", inn);
    // An organisation's INN may stand only as INNLE.
    if (!inn[0])
        ExtractNameValue(subjectDn, L"1.2.643.100.4=", inn);
    ExtractNameValue(subjectDn, L"2.5.4.4=", surname);
    ExtractNameValue(subjectDn, L"2.5.4.42=", givenName);
    ExtractNameValue(subjectDn, L"1.2.643.100.3=", snils);

    ReadKeyKind(info->SubjectPublicKeyInfo, *this);

    slotId = slot;
    if (ckaIdBuffer) {
        std::memcpy(ckaID, ckaIdBuffer, sizeof ckaID);
        ckaIDLength = ckaIdLength < sizeof ckaID ? ckaIdLength : sizeof ckaID;
    }

    // Surname and given names may each fill most of their field (a joined
    // name carries both): the full name is cut to its own field.
    wchar_t joined[2 * TEXT_ROOM + 1];
    size_t surnameLength = wcslen(surname);
    std::memcpy(joined, surname, surnameLength * sizeof(wchar_t));
    joined[surnameLength] = L' ';
    std::memcpy(joined + surnameLength + 1, givenName, (wcslen(givenName) + 1) * sizeof(wchar_t));
    CopyWideCut(fullName, joined, TEXT_ROOM);
}

void ExtractNameValue(const wchar_t *name, const wchar_t *key, wchar_t *value)
{
    size_t keyLength = wcslen(key);
    if (keyLength == 0 || !name[0])
        return;
    size_t matched = 0;
    bool found = false;
    size_t written = 0;
    for (size_t i = 0; i < TEXT_ROOM && name[i]; i++) {
        wchar_t c = name[i];
        if (!found) {
            if (c == key[matched]) {
                if (++matched == keyLength)
                    found = true;
            } else {
                matched = 0;
            }
        } else if (c == L',') {
            value[written] = 0;
            return;
        } else {
            value[written++] = c;
        }
    }
}
