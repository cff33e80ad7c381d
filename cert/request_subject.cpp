// The subject list of a renewal request: OID and value strings, alternating,
// built from the current certificate's decoded subject.
#include "cert/cert_record.h"
#include "cert/sized_text.h"

#include <cstring>

// The attribute types carried over; walked from the last to the first.
static const char *const OIDs[] = {
    "1.2.643.100.5",        // OGRNIP
    "1.2.643.100.3",        // SNILS
    "1.2.643.100.1",        // OGRN
    "1.2.643.100.4",        // INNLE, an organisation's INN
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

static const char NUMERIC_PREFIX[] = "NUMERICSTRING:";

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
    wchar_t *wide = SizedText<wchar_t>([&](wchar_t *buffer, DWORD room) {
        return CertRDNValueToStrW(attribute->dwValueType, &value, buffer, room);
    });
    char *utf8 = wide ? Utf8Text(wide) : nullptr;
    delete[] wide;
    const char *prefix = attribute->dwValueType == CERT_RDN_NUMERIC_STRING ? NUMERIC_PREFIX : "";
    const char *text = utf8 ? utf8 : "";
    size_t prefixLength = strlen(prefix), textLength = strlen(text);
    delete[] slot;
    slot = new char[prefixLength + textLength + 1];
    std::memcpy(slot, prefix, prefixLength);
    std::memcpy(slot + prefixLength, text, textLength + 1);
    delete[] utf8;
}

unsigned int BuildRequestSubject(char *requestSubject[64], const CERT_NAME_INFO *nameInfo)
{
    unsigned int i = 0;
    for (int k = (int)(sizeof OIDs / sizeof OIDs[0]) - 1; k >= 0; k--) {
        PCERT_RDN_ATTR attribute = CertFindRDNAttr(OIDs[k], const_cast<CERT_NAME_INFO *>(nameInfo));
        if (!attribute)
            continue;
        PutString(requestSubject[i++], OIDs[k], strlen(OIDs[k]) + 1);
        PutValue(requestSubject[i++], attribute);
    }
    return i;
}
