#include "softtoken/der.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace der {

std::string Length(size_t length)
{
    if (length < 0x80)
        return std::string(1, (char)length);
    std::string bytes;
    for (size_t rest = length; rest > 0; rest >>= 8)
        bytes.insert(bytes.begin(), (char)(rest & 0xFF));
    return std::string(1, (char)(0x80 | bytes.size())) + bytes;
}

std::string Tlv(unsigned char tag, const std::string &content)
{
    return std::string(1, (char)tag) + Length(content.size()) + content;
}

std::string Sequence(const std::vector<std::string> &items)
{
    std::string content;
    for (auto &item : items)
        content += item;
    return Tlv(TagSequence, content);
}

std::string SetOf(std::vector<std::string> items)
{
    // Shorter encodings sort as if padded with zero bytes (X.690 11.6);
    // std::string's order puts a prefix first, which is the same thing.
    std::sort(items.begin(), items.end(), [](const std::string &a, const std::string &b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return (unsigned char)x < (unsigned char)y; });
    });
    std::string content;
    for (auto &item : items)
        content += item;
    return Tlv(TagSet, content);
}

std::string Null()
{
    return Tlv(TagNull, "");
}

std::string Bool(bool value)
{
    return Tlv(TagBoolean, std::string(1, value ? '\xFF' : '\0'));
}

std::string UnsignedInteger(const std::string &bigEndian)
{
    size_t first = 0;
    while (first + 1 < bigEndian.size() && bigEndian[first] == 0)
        ++first;
    std::string content = bigEndian.substr(first);
    if (content.empty() || (unsigned char)content[0] & 0x80)
        content.insert(content.begin(), '\0');
    return Tlv(TagInteger, content);
}

std::string Integer(long value)
{
    std::string content;
    long rest = value;
    // Two's complement, shortest form.
    do {
        content.insert(content.begin(), (char)(rest & 0xFF));
        rest >>= 8;
    } while (!((rest == 0 && !(content[0] & 0x80)) || (rest == -1 && (content[0] & 0x80))));
    return Tlv(TagInteger, content);
}

std::string OctetString(const std::string &bytes)
{
    return Tlv(TagOctetString, bytes);
}

std::string BitString(const std::string &bytes, unsigned unusedBits)
{
    return Tlv(TagBitString, std::string(1, (char)unusedBits) + bytes);
}

static void Base128(unsigned long long value, std::string &out)
{
    std::string bytes(1, (char)(value & 0x7F));
    for (value >>= 7; value > 0; value >>= 7)
        bytes.insert(bytes.begin(), (char)(0x80 | (value & 0x7F)));
    out += bytes;
}

bool Oid(const std::string &dotted, std::string &encoded)
{
    std::vector<unsigned long long> arcs;
    size_t position = 0;
    while (position <= dotted.size()) {
        size_t dot = dotted.find('.', position);
        if (dot == std::string::npos)
            dot = dotted.size();
        std::string arc = dotted.substr(position, dot - position);
        if (arc.empty() || arc.size() > 18 || arc.find_first_not_of("0123456789") != std::string::npos ||
            (arc.size() > 1 && arc[0] == '0'))
            return false;
        arcs.push_back(strtoull(arc.c_str(), nullptr, 10));
        position = dot + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39))
        return false;
    std::string content;
    Base128(arcs[0] * 40 + arcs[1], content);
    for (size_t i = 2; i < arcs.size(); ++i)
        Base128(arcs[i], content);
    encoded = Tlv(TagObjectId, content);
    return true;
}

std::string Oid(const char *dotted)
{
    std::string encoded;
    if (!Oid(dotted, encoded))
        abort();  // a constant of ours is wrong
    return encoded;
}

std::string Explicit(unsigned number, const std::string &content)
{
    return Tlv((unsigned char)(0xA0 | number), content);
}

std::string Implicit(unsigned number, const std::string &encoded)
{
    std::string retagged = encoded;
    retagged[0] = (char)((encoded[0] & 0x20) | 0x80 | number);
    return retagged;
}

std::string Time(int year, int month, int day, int hour, int minute, int second)
{
    char text[20];
    if (year >= 1950 && year < 2050) {
        snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", year % 100, month, day, hour, minute, second);
        return Tlv(TagUtcTime, text);
    }
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", year, month, day, hour, minute, second);
    return Tlv(TagGeneralizedTime, text);
}

bool PrintableText(const std::string &text)
{
    for (unsigned char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              std::string(" '()+,-./:=?").find((char)c) != std::string::npos))
            return false;
    return true;
}

bool NumericText(const std::string &text)
{
    return text.find_first_not_of("0123456789 ") == std::string::npos;
}

bool Ia5Text(const std::string &text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

bool Utf8Text(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = text[i];
        size_t extra;
        unsigned long code;
        if (c < 0x80) {
            extra = 0;
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = text[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const unsigned long smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool Read(const std::string &bytes, size_t offset, size_t limit, Item &item)
{
    if (limit > bytes.size() || offset + 2 > limit)
        return false;
    item.start = offset;
    item.tag = bytes[offset];
    if ((item.tag & 0x1F) == 0x1F)
        return false;  // multi-byte tags do not occur in what we read
    unsigned char first = bytes[offset + 1];
    size_t position = offset + 2;
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        size_t count = first & 0x7F;
        if (count == 0 || count > 4 || position + count > limit)
            return false;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | (unsigned char)bytes[position + i];
        position += count;
    }
    if (length > limit - position)
        return false;
    item.contentStart = position;
    item.contentLength = length;
    return true;
}

bool Children(const std::string &bytes, const Item &parent, std::vector<Item> &children)
{
    children.clear();
    if (!(parent.tag & 0x20))
        return false;
    size_t position = parent.contentStart;
    while (position < parent.end()) {
        Item child;
        if (!Read(bytes, position, parent.end(), child))
            return false;
        children.push_back(child);
        position = child.end();
    }
    return true;
}

}  // namespace der
