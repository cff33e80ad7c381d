#include "softtoken/request_text.h"

#include "softtoken/der.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

static const char numericPrefix[] = "NUMERICSTRING:";

static std::string Trim(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

static std::string Upper(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

static std::vector<std::string> SplitList(const std::string &text)
{
    std::vector<std::string> items;
    size_t position = 0;
    while (true) {
        size_t comma = text.find(',', position);
        items.push_back(Trim(text.substr(position, comma == std::string::npos ? std::string::npos : comma - position)));
        if (comma == std::string::npos)
            return items;
        position = comma + 1;
    }
}

static bool AttributeValue(const std::string &oid, const std::string &text, std::string &value)
{
    if (text.compare(0, strlen(numericPrefix), numericPrefix) == 0) {
        std::string digits = text.substr(strlen(numericPrefix));
        if (!der::NumericText(digits))
            return false;
        value = der::Tlv(der::TagNumericString, digits);
    } else if (oid == "2.5.4.6") {
        if (!der::PrintableText(text))
            return false;
        value = der::Tlv(der::TagPrintableString, text);
    } else if (oid == "1.2.840.113549.1.9.1") {
        if (!der::Ia5Text(text))
            return false;
        value = der::Tlv(der::TagIa5String, text);
    } else {
        if (!der::Utf8Text(text))
            return false;
        value = der::Tlv(der::TagUtf8String, text);
    }
    return true;
}

bool BuildSubjectName(char **dn, unsigned long count, std::string &name, std::string &error)
{
    if (count % 2 || (count && !dn)) {
        error = "the subject list must hold OID and value pairs";
        return false;
    }
    std::vector<std::string> rdns;
    for (unsigned long i = 0; i < count; i += 2) {
        if (!dn[i] || !dn[i + 1]) {
            error = "a null string in the subject list";
            return false;
        }
        std::string oid, value;
        if (!der::Oid(dn[i], oid)) {
            error = std::string("not an OID: ") + dn[i];
            return false;
        }
        if (!AttributeValue(dn[i], dn[i + 1], value)) {
            error = std::string("a value not allowed for ") + dn[i];
            return false;
        }
        rdns.push_back(der::SetOf({der::Sequence({oid, value})}));
    }
    name = der::Sequence(rdns);
    return true;
}

// keyUsage bit numbers (RFC 5280 4.2.1.3) by OpenSSL's names.
static const std::map<std::string, int> keyUsageBits = {
    {"digitalSignature", 0}, {"nonRepudiation", 1}, {"keyEncipherment", 2},
    {"dataEncipherment", 3}, {"keyAgreement", 4},   {"keyCertSign", 5},
    {"cRLSign", 6},          {"encipherOnly", 7},   {"decipherOnly", 8},
};

static const std::map<std::string, std::string> extendedKeyUsageNames = {
    {"serverAuth", "1.3.6.1.5.5.7.3.1"},      {"clientAuth", "1.3.6.1.5.5.7.3.2"},
    {"codeSigning", "1.3.6.1.5.5.7.3.3"},     {"emailProtection", "1.3.6.1.5.5.7.3.4"},
    {"timeStamping", "1.3.6.1.5.5.7.3.8"},    {"OCSPSigning", "1.3.6.1.5.5.7.3.9"},
};

static bool KeyUsage(const std::string &text, std::string &value)
{
    unsigned bits = 0;
    for (auto &name : SplitList(text)) {
        auto it = keyUsageBits.find(name);
        if (it == keyUsageBits.end())
            return false;
        bits |= 1u << it->second;
    }
    if (bits == 0)
        return false;
    // DER: bit 0 is the top bit of the first byte; trailing zero bits go.
    std::string bytes;
    int highest = 0;
    for (int bit = 0; bit < 9; ++bit)
        if (bits & (1u << bit))
            highest = bit;
    bytes.assign(highest / 8 + 1, '\0');
    for (int bit = 0; bit <= highest; ++bit)
        if (bits & (1u << bit))
            bytes[bit / 8] |= (char)(0x80 >> (bit % 8));
    value = der::BitString(bytes, 7 - highest % 8);
    return true;
}

static bool ExtendedKeyUsage(const std::string &text, std::string &value)
{
    std::vector<std::string> oids;
    for (auto &item : SplitList(text)) {
        auto it = extendedKeyUsageNames.find(item);
        std::string oid;
        if (!der::Oid(it == extendedKeyUsageNames.end() ? item : it->second, oid))
            return false;
        oids.push_back(oid);
    }
    value = der::Sequence(oids);
    return true;
}

using Sections = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

// The lines after the first one of an ASN1: value: "[name]" headers, each
// followed by "field = TYPE:value" lines.
static bool ReadSections(const std::string &text, Sections &sections)
{
    std::string current;
    bool inSection = false;
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(position, end - position));
        position = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return false;
            current = Trim(line.substr(1, line.size() - 2));
            if (current.empty() || sections.count(current))
                return false;
            sections[current];
            inSection = true;
            continue;
        }
        size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos)
            return false;
        sections[current].push_back({Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
    }
    return true;
}

static bool Integer(const std::string &text, std::string &value)
{
    std::string digits = text;
    bool negative = !digits.empty() && digits[0] == '-';
    if (negative)
        digits = digits.substr(1);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    long number = strtol(digits.c_str(), nullptr, base);
    value = der::Integer(negative ? -number : number);
    return true;
}

// One "TYPE:value" of OpenSSL's generic ASN.1 syntax.
static bool Generate(const std::string &definition, const Sections &sections, int depth, std::string &value)
{
    if (depth > 8)
        return false;
    size_t colon = definition.find(':');
    std::string type = Upper(Trim(definition.substr(0, colon)));
    std::string text = colon == std::string::npos ? std::string() : definition.substr(colon + 1);
    bool hasText = colon != std::string::npos;
    if (type == "NULL")
        return !hasText || text.empty() ? (value = der::Null(), true) : false;
    if (!hasText)
        return false;
    if (type == "BOOL" || type == "BOOLEAN") {
        std::string word = Upper(Trim(text));
        if (word == "TRUE" || word == "YES" || word == "Y")
            value = der::Bool(true);
        else if (word == "FALSE" || word == "NO" || word == "N")
            value = der::Bool(false);
        else
            return false;
        return true;
    }
    if (type == "INT" || type == "INTEGER")
        return Integer(Trim(text), value);
    if (type == "OID" || type == "OBJECT")
        return der::Oid(Trim(text), value);
    if (type == "UTF8" || type == "UTF8STRING")
        return der::Utf8Text(text) ? (value = der::Tlv(der::TagUtf8String, text), true) : false;
    if (type == "PRINTABLE" || type == "PRINTABLESTRING")
        return der::PrintableText(text) ? (value = der::Tlv(der::TagPrintableString, text), true) : false;
    if (type == "IA5" || type == "IA5STRING")
        return der::Ia5Text(text) ? (value = der::Tlv(der::TagIa5String, text), true) : false;
    if (type == "NUMERIC" || type == "NUMERICSTRING")
        return der::NumericText(text) ? (value = der::Tlv(der::TagNumericString, text), true) : false;
    if (type == "OCT" || type == "OCTETSTRING") {
        value = der::OctetString(text);
        return true;
    }
    if (type == "SEQ" || type == "SEQUENCE" || type == "SET") {
        auto section = sections.find(Trim(text));
        if (section == sections.end())
            return false;
        std::vector<std::string> fields;
        for (auto &field : section->second) {
            std::string encoded;
            if (!Generate(field.second, sections, depth + 1, encoded))
                return false;
            fields.push_back(encoded);
        }
        value = type == "SET" ? der::SetOf(fields) : der::Sequence(fields);
        return true;
    }
    return false;
}

static bool GenericValue(const std::string &text, std::string &value)
{
    size_t lineEnd = text.find('\n');
    std::string first = text.substr(0, lineEnd);
    Sections sections;
    if (lineEnd != std::string::npos && !ReadSections(text.substr(lineEnd + 1), sections))
        return false;
    return Generate(first, sections, 0, value);
}

static bool Extension(const std::string &name, const std::string &text, std::string &extension)
{
    std::string rest = text;
    bool critical = false;
    if (rest.compare(0, 9, "critical,") == 0) {
        critical = true;
        rest = Trim(rest.substr(9));
    }
    std::string oid, value;
    bool ok;
    if (rest.compare(0, 5, "ASN1:") == 0) {
        std::string dotted = name == "keyUsage" ? "2.5.29.15" : name == "extendedKeyUsage" ? "2.5.29.37" : name;
        ok = der::Oid(dotted, oid) && GenericValue(rest.substr(5), value);
    } else if (name == "keyUsage") {
        ok = der::Oid("2.5.29.15", oid) && KeyUsage(rest, value);
    } else if (name == "extendedKeyUsage") {
        ok = der::Oid("2.5.29.37", oid) && ExtendedKeyUsage(rest, value);
    } else {
        ok = false;
    }
    if (!ok)
        return false;
    std::vector<std::string> parts = {oid};
    if (critical)
        parts.push_back(der::Bool(true));
    parts.push_back(der::OctetString(value));
    extension = der::Sequence(parts);
    return true;
}

bool BuildExtensions(char **exts, unsigned long count, std::string &extensions, std::string &error)
{
    if (count % 2 || (count && !exts)) {
        error = "the extension list must hold name and value pairs";
        return false;
    }
    std::vector<std::string> list;
    for (unsigned long i = 0; i < count; i += 2) {
        if (!exts[i] || !exts[i + 1]) {
            error = "a null string in the extension list";
            return false;
        }
        std::string extension;
        if (!Extension(Trim(exts[i]), exts[i + 1], extension)) {
            error = std::string("cannot read the extension ") + exts[i];
            return false;
        }
        list.push_back(extension);
    }
    extensions = der::Sequence(list);
    return true;
}
