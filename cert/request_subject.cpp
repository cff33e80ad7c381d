// The subject list of a renewal request: OID and value strings, alternating,
// built from the current certificate's decoded subject.
#include "cert/cert_record.h"

#include <cstring>

// The attribute types carried over; walked from the last to the first.
static const char *const OIDs[16] = {
    "1.2.643.100.5",        // OGRNIP
    "1.2.643.100.3",        // SNILS
    "1.2.643.100.1",        // OGRN
    "1.2.643.3.131.1.1",    // INN
    "1.2.840.113549.1.9.1", // emailAddress
    "2.5.4.6",              // countryName
    "2.5.4.8",              // stateOrProvinceName
    "2.5.4.7",              // localityName
    "2.5.4.10",             // organizationName
    "2.5.4.11",             // organizationalUnitName
    "2.5.4.3",              // commonName
    "2.5.4.9",              // streetAddress
    "1.2.840.113549.1.9.2", // unstructuredName
    "2.5.4.12",             // title
    "2.5.4.42",             // givenName
    "2.5.4.4",              // surname
};

static const wchar_t NUMERIC_PREFIX[] = L"NUMERICSTRING:";
static const size_t NUMERIC_PREFIX_LENGTH = 14;

static void PutString(char *&slot, const char *text, size_t size)
{
    delete[] slot;
    slot = new char[size];
    std::memcpy(slot, text, size);
}

// The attribute's value as UTF-8 text; a NumericString is marked as such, so
// that the request keeps the type.
static void PutValue(char *&slot, const CERT_RDN_ATTR *attribute)
{
    CERT_RDN_VALUE_BLOB value = attribute->Value;
    bool numeric = attribute->dwValueType == CERT_RDN_NUMERIC_STRING;
    DWORD length = CertRDNValueToStrW(attribute->dwValueType, &value, nullptr, 0);
    if (length < 1)
        length = 1;
    size_t room = length + (numeric ? NUMERIC_PREFIX_LENGTH : 0);
    wchar_t *wide = new wchar_t[room];
    wide[0] = 0;
    CertRDNValueToStrW(attribute->dwValueType, &value, wide, length);
    wide[length - 1] = 0;
    if (numeric) {
        std::memmove(wide + NUMERIC_PREFIX_LENGTH, wide, length * sizeof(wchar_t));
        std::memcpy(wide, NUMERIC_PREFIX, NUMERIC_PREFIX_LENGTH * sizeof(wchar_t));
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    delete[] slot;
    if (size < 1) {
        slot = new char[1];
        slot[0] = 0;
    } else {
        slot = new char[size];
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, slot, size, nullptr, nullptr);
        slot[size - 1] = 0;
    }
    delete[] wide;
}

unsigned int BuildRequestSubject(char *requestSubject[64], const CERT_NAME_INFO *nameInfo)
{
    unsigned int i = 0;
    for (int k = 15; k >= 0; k--) {
        PCERT_RDN_ATTR attribute = CertFindRDNAttr(OIDs[k], const_cast<CERT_NAME_INFO *>(nameInfo));
        if (!attribute)
            continue;
        PutString(requestSubject[i++], OIDs[k], strlen(OIDs[k]) + 1);
        PutValue(requestSubject[i++], attribute);
    }
    return i;
}
