// A small DER encoder for the request and the signed message the token
// builds, and a reader just big enough to take a certificate apart. Every
// value is a std::string of bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace der {

enum Tag : unsigned char {
    TagBoolean = 0x01,
    TagInteger = 0x02,
    TagBitString = 0x03,
    TagOctetString = 0x04,
    TagNull = 0x05,
    TagObjectId = 0x06,
    TagUtf8String = 0x0C,
    TagNumericString = 0x12,
    TagPrintableString = 0x13,
    TagIa5String = 0x16,
    TagUtcTime = 0x17,
    TagGeneralizedTime = 0x18,
    TagSequence = 0x30,
    TagSet = 0x31,
};

std::string Length(size_t length);
std::string Tlv(unsigned char tag, const std::string &content);

std::string Sequence(const std::vector<std::string> &items);
// A SET OF: the items sorted by their encodings, as DER requires.
std::string SetOf(std::vector<std::string> items);
std::string Null();
std::string Bool(bool value);
// An INTEGER from unsigned big-endian bytes (leading zeros dropped, a zero
// put in front of a high bit), and from a small number.
std::string UnsignedInteger(const std::string &bigEndian);
std::string Integer(long value);
std::string OctetString(const std::string &bytes);
std::string BitString(const std::string &bytes, unsigned unusedBits = 0);
// An object identifier from dotted text; false for anything malformed.
bool Oid(const std::string &dotted, std::string &encoded);
// The same for identifiers known to be well formed (constants).
std::string Oid(const char *dotted);
// Context-specific tags: [n] around constructed content, or [n] IMPLICIT
// replacing the tag of one encoded item.
std::string Explicit(unsigned number, const std::string &content);
std::string Implicit(unsigned number, const std::string &encoded);
// UTCTime for years 1950-2049, GeneralizedTime otherwise.
std::string Time(int year, int month, int day, int hour, int minute, int second);

// String types with their character rules; false when the text breaks them.
bool PrintableText(const std::string &text);
bool NumericText(const std::string &text);
bool Ia5Text(const std::string &text);
bool Utf8Text(const std::string &text);

// One element read from DER bytes.
struct Item {
    unsigned char tag = 0;
    size_t start = 0;          // offset of the tag
    size_t contentStart = 0;   // offset of the content
    size_t contentLength = 0;
    size_t end() const { return contentStart + contentLength; }
};

// Reads the element at offset within [offset, limit); false when the bytes
// do not hold a whole definite-length element there.
bool Read(const std::string &bytes, size_t offset, size_t limit, Item &item);
// The elements directly inside a constructed element.
bool Children(const std::string &bytes, const Item &parent, std::vector<Item> &children);

}  // namespace der
