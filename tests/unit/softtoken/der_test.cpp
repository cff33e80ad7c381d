// The stand-in token's DER builder and the readers of createCSR's text lists.
// Their code lives inside jcPKCS11.dll and is not exported, so it is compiled
// into this test as well.
#include "softtoken/der.cpp"
#include "softtoken/request_text.cpp"

#include "softtoken_fixture.h"
#include "support/unix_command.h"

#include <gtest/gtest.h>

using der::Item;

static std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes += (char)value;
    return bytes;
}

TEST(Der, LengthsUseTheShortestForm)
{
    EXPECT_EQ(Bytes({0x00}), der::Length(0));
    EXPECT_EQ(Bytes({0x7F}), der::Length(127));
    EXPECT_EQ(Bytes({0x81, 0x80}), der::Length(128));
    EXPECT_EQ(Bytes({0x81, 0xFF}), der::Length(255));
    EXPECT_EQ(Bytes({0x82, 0x01, 0x00}), der::Length(256));
    EXPECT_EQ(Bytes({0x83, 0x01, 0x00, 0x00}), der::Length(65536));
    std::string big = der::OctetString(std::string(70000, 'x'));
    EXPECT_EQ(Bytes({0x04, 0x83, 0x01, 0x11, 0x70}), big.substr(0, 5));
    EXPECT_EQ(70005u, big.size());
}

TEST(Der, Integers)
{
    EXPECT_EQ(Bytes({0x02, 0x01, 0x00}), der::Integer(0));
    EXPECT_EQ(Bytes({0x02, 0x01, 0x7F}), der::Integer(127));
    EXPECT_EQ(Bytes({0x02, 0x02, 0x00, 0x80}), der::Integer(128));
    EXPECT_EQ(Bytes({0x02, 0x02, 0x01, 0x00}), der::Integer(256));
    EXPECT_EQ(Bytes({0x02, 0x01, 0xFF}), der::Integer(-1));
    EXPECT_EQ(Bytes({0x02, 0x01, 0x80}), der::Integer(-128));
    EXPECT_EQ(Bytes({0x02, 0x02, 0xFF, 0x7F}), der::Integer(-129));
    // Serial numbers and the like: unsigned big-endian bytes.
    EXPECT_EQ(Bytes({0x02, 0x02, 0x00, 0x80}), der::UnsignedInteger(Bytes({0x00, 0x00, 0x80})));
    EXPECT_EQ(Bytes({0x02, 0x01, 0x05}), der::UnsignedInteger(Bytes({0x00, 0x05})));
    EXPECT_EQ(Bytes({0x02, 0x01, 0x00}), der::UnsignedInteger(Bytes({0x00, 0x00})));
    EXPECT_EQ(Bytes({0x02, 0x01, 0x00}), der::UnsignedInteger(""));
}

TEST(Der, ObjectIdentifiers)
{
    EXPECT_EQ(Bytes({0x06, 0x06, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D}), der::Oid("1.2.840.113549"));
    EXPECT_EQ(Bytes({0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}), der::Oid("1.2.643.2.2.35.1"));
    EXPECT_EQ(Bytes({0x06, 0x03, 0x88, 0x37, 0x03}), der::Oid("2.999.3"));
    EXPECT_EQ(Bytes({0x06, 0x03, 0x55, 0x04, 0x03}), der::Oid("2.5.4.3"));
    std::string out;
    for (const char *bad : {"", "1", "3.1", "1.40", "1..2", "1.2.", ".1.2", "a.b", "01.2", "1.2.-3", "1.2 .3",
                            "1.2.99999999999999999999"})
        EXPECT_FALSE(der::Oid(std::string(bad), out)) << bad;
}

TEST(Der, SetOfIsSortedByEncoding)
{
    std::string a = der::Integer(2), b = der::Integer(1), c = der::OctetString("");
    EXPECT_EQ(der::Tlv(0x31, b + a + c), der::SetOf({c, a, b}));
    // A shorter encoding that is a prefix of a longer one comes first.
    std::string shortOne = der::OctetString("a"), longOne = der::OctetString("ab");
    EXPECT_EQ(der::Tlv(0x31, shortOne + longOne), der::SetOf({longOne, shortOne}));
}

TEST(Der, TagsTimesAndBits)
{
    EXPECT_EQ(Bytes({0x05, 0x00}), der::Null());
    EXPECT_EQ(Bytes({0x01, 0x01, 0xFF}), der::Bool(true));
    EXPECT_EQ(Bytes({0x03, 0x02, 0x04, 0xF0}), der::BitString(Bytes({0xF0}), 4));
    EXPECT_EQ(Bytes({0xA0, 0x03, 0x02, 0x01, 0x01}), der::Explicit(0, der::Integer(1)));
    EXPECT_EQ(Bytes({0xA0, 0x02, 0x05, 0x00}), der::Implicit(0, der::SetOf({der::Null()})));
    EXPECT_EQ(Bytes({0x80, 0x01, 0x07}), der::Implicit(0, der::Integer(7)));
    EXPECT_EQ(der::Tlv(0x17, "261207203005Z"), der::Time(2026, 12, 7, 20, 30, 5));
    EXPECT_EQ(der::Tlv(0x17, "500101000000Z"), der::Time(1950, 1, 1, 0, 0, 0));
    EXPECT_EQ(der::Tlv(0x18, "20500101000000Z"), der::Time(2050, 1, 1, 0, 0, 0));
}

TEST(Der, StringCharacterRules)
{
    EXPECT_TRUE(der::NumericText("007712 345678"));
    EXPECT_FALSE(der::NumericText("12a"));
    EXPECT_TRUE(der::PrintableText("RU Moscow-1 (a'b)+,./:=?"));
    EXPECT_FALSE(der::PrintableText("a@b"));
    EXPECT_FALSE(der::PrintableText("Москва"));
    EXPECT_TRUE(der::Ia5Text("user@example.ru"));
    EXPECT_FALSE(der::Ia5Text("Иван@example.ru"));
    EXPECT_TRUE(der::Utf8Text("Иванов «JaCarta ГОСТ» \xF0\x9F\x98\x80"));
    EXPECT_TRUE(der::Utf8Text(""));
    EXPECT_FALSE(der::Utf8Text("\xC8\xE2\xE0\xED"));        // the same in code page 1251
    EXPECT_FALSE(der::Utf8Text("\xD0"));                    // cut short
    EXPECT_FALSE(der::Utf8Text("\xC0\xAF"));                // overlong
    EXPECT_FALSE(der::Utf8Text("\xED\xA0\x80"));            // a surrogate
    EXPECT_FALSE(der::Utf8Text("\xF4\x90\x80\x80"));        // beyond U+10FFFF
}

TEST(Der, ReaderTakesElementsApart)
{
    std::string inner = der::Sequence({der::Integer(5), der::OctetString(std::string(200, 'z'))});
    std::string outer = der::Sequence({inner, der::Null()}) + "trailing";
    Item top;
    ASSERT_TRUE(der::Read(outer, 0, outer.size(), top));
    EXPECT_EQ(0x30, top.tag);
    EXPECT_EQ(outer.size() - 8, top.end());
    std::vector<Item> children;
    ASSERT_TRUE(der::Children(outer, top, children));
    ASSERT_EQ(2u, children.size());
    EXPECT_EQ(inner, outer.substr(children[0].start, children[0].end() - children[0].start));
    EXPECT_EQ(0x05, children[1].tag);

    // Truncated, indefinite, oversized lengths and primitive parents fail.
    Item item;
    EXPECT_FALSE(der::Read(outer.substr(0, 10), 0, 10, item));
    EXPECT_FALSE(der::Read(Bytes({0x30, 0x80, 0x00, 0x00}), 0, 4, item));
    EXPECT_FALSE(der::Read(Bytes({0x30, 0x85, 1, 0, 0, 0, 0}), 0, 7, item));
    EXPECT_FALSE(der::Read(Bytes({0x30}), 0, 1, item));
    std::string broken = Bytes({0x30, 0x04, 0x02, 0x05, 0x00, 0x00});
    ASSERT_TRUE(der::Read(broken, 0, broken.size(), item));
    EXPECT_FALSE(der::Children(broken, item, children));
    Item primitive;
    std::string octets = der::OctetString("ab");
    ASSERT_TRUE(der::Read(octets, 0, octets.size(), primitive));
    EXPECT_FALSE(der::Children(octets, primitive, children));
}

// OpenSSL, an independent reader, sees what the builder meant to write.
TEST(Der, OpenSslReadsTheEncoding)
{
    std::string dir = FreshWorkDir("softtoken-der-openssl");
    std::string encoded = der::Sequence({
        der::Integer(-129),
        der::Oid("1.2.643.3.131.1.1"),
        der::Tlv(der::TagUtf8String, "Иванов " + std::string(150, 'x')),
        der::SetOf({der::Tlv(der::TagNumericString, "007712345678"), der::Bool(true)}),
        der::BitString(Bytes({0xF0}), 4),
        der::Time(2026, 12, 7, 20, 30, 5),
        der::Explicit(3, der::Null()),
    });
    ASSERT_TRUE(WriteFileBytes(dir + "/sample.der", encoded));
    std::string output;
    ASSERT_EQ(0, RunUnix("openssl asn1parse -inform DER -in " + ShellQuote(dir + "/sample.der"), &output))
        << output;
    EXPECT_NE(std::string::npos, output.find("INTEGER           :-81")) << output;
    EXPECT_NE(std::string::npos, output.find("OBJECT            :INN")) << output;
    EXPECT_NE(std::string::npos, output.find("l= 163 prim: UTF8STRING        :Иванов xxx")) << output;
    EXPECT_NE(std::string::npos, output.find("BOOLEAN           :255")) << output;
    EXPECT_NE(std::string::npos, output.find("NUMERICSTRING     :007712345678")) << output;
    EXPECT_NE(std::string::npos, output.find("BIT STRING")) << output;
    EXPECT_NE(std::string::npos, output.find("UTCTIME           :261207203005Z")) << output;
    EXPECT_NE(std::string::npos, output.find("cont [ 3 ]")) << output;
    EXPECT_EQ(std::string::npos, output.find("error")) << output;
}

// --- the text lists of createCSR ---

struct TextList {
    explicit TextList(std::vector<std::string> texts) : strings(std::move(texts))
    {
        for (auto &text : strings)
            pointers.push_back(&text[0]);
    }
    char **data() { return pointers.data(); }
    unsigned long size() const { return pointers.size(); }
    std::vector<std::string> strings;
    std::vector<char *> pointers;
};

static std::string Extensions(std::vector<std::string> texts)
{
    TextList list(std::move(texts));
    std::string encoded, error;
    if (!BuildExtensions(list.data(), list.size(), encoded, error))
        return "refused: " + error;
    return encoded;
}

static std::string Extension(const char *oid, bool critical, const std::string &value)
{
    std::vector<std::string> parts = {der::Oid(oid)};
    if (critical)
        parts.push_back(der::Bool(true));
    parts.push_back(der::OctetString(value));
    return der::Sequence({der::Sequence(parts)});
}

TEST(RequestText, KeyUsageBits)
{
    EXPECT_EQ(Extension("2.5.29.15", false, Bytes({0x03, 0x02, 0x04, 0xF0})),
              Extensions({"keyUsage", "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment"}));
    EXPECT_EQ(Extension("2.5.29.15", true, Bytes({0x03, 0x02, 0x01, 0x06})),
              Extensions({"keyUsage", "critical, keyCertSign, cRLSign"}));
    EXPECT_EQ(Extension("2.5.29.15", false, Bytes({0x03, 0x03, 0x07, 0x80, 0x80})),
              Extensions({"keyUsage", "digitalSignature,decipherOnly"}));
    EXPECT_EQ(0u, Extensions({"keyUsage", "digitalSignature,signEverything"}).find("refused"));
    EXPECT_EQ(0u, Extensions({"keyUsage", ""}).find("refused"));
}

TEST(RequestText, ExtendedKeyUsageTakesOidsAndNames)
{
    EXPECT_EQ(Extension("2.5.29.37", false,
                        der::Sequence({der::Oid("1.3.6.1.5.5.7.3.2"), der::Oid("1.2.643.2.2.34.6"),
                                       der::Oid("1.3.6.1.5.5.7.3.4")})),
              Extensions({"extendedKeyUsage", "1.3.6.1.5.5.7.3.2, 1.2.643.2.2.34.6,emailProtection"}));
    EXPECT_EQ(0u, Extensions({"extendedKeyUsage", "1.3.6.1.5.5.7.3.2,,1.2.3"}).find("refused"));
    EXPECT_EQ(0u, Extensions({"extendedKeyUsage", "notAUsage"}).find("refused"));
}

TEST(RequestText, GenericValuesWithSections)
{
    EXPECT_EQ(Extension("1.2.643.100.111", false, der::Tlv(0x0C, "СКЗИ «Криптотокен»")),
              Extensions({"1.2.643.100.111", "ASN1:UTF8String:СКЗИ «Криптотокен»"}));
    EXPECT_EQ(Extension("1.3.6.1.4.1.311.21.7", false,
                        der::Sequence({der::Oid("1.2.643.3.6.3.13"), der::Integer(1), der::Integer(0)})),
              Extensions({"1.3.6.1.4.1.311.21.7",
                          "ASN1:SEQUENCE:certificateTemplate\n[certificateTemplate]\ntemplateID=OID:1.2.643.3.6.3.13\n"
                          "templateMajorVersion=INTEGER:1\ntemplateMinorVersion=INTEGER:0"}));
    // Nested sections, other types, blank lines and spaces around the fields.
    EXPECT_EQ(Extension("1.2.3.4", true,
                        der::Sequence({der::Sequence({der::Bool(false), der::Null()}),
                                       der::Tlv(0x13, "RU"), der::Integer(-5)})),
              Extensions({"1.2.3.4", "critical,ASN1:SEQ:outer\n\n[ outer ]\n a = SEQUENCE:inner\nb=PRINTABLE:RU\n"
                                     "c = INT:-5\n[inner]\nx=BOOL:false\ny=NULL\n"}));
}

TEST(RequestText, RefusesWhatItCannotRead)
{
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"basicConstraints", "CA:FALSE"},
             {"1.2.3", "DER:0500"},
             {"1.2.3", "ASN1:SEQUENCE:missing\n[other]\na=INT:1"},
             {"1.2.3", "ASN1:SEQUENCE:s\n[s]\na=FROB:1"},
             {"1.2.3", "ASN1:SEQUENCE:s\n[s]\nno equals sign"},
             {"1.2.3", "ASN1:SEQUENCE:s\n[s]\na=INT:twelve"},
             {"1.2.3", "ASN1:SEQUENCE:s\n[s]\na=SEQUENCE:s"},
             {"1.2.3", "ASN1:UTF8String"},
             {"1.2.3", "ASN1:PRINTABLE:a@b"},
             {"1.2.3", "ASN1:UTF8String:\xC8\xE2"},
             {"not.an.oid", "ASN1:NULL"},
             {"keyUsage"},
         })
        EXPECT_EQ(0u, Extensions(bad).find("refused")) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
    TextList withNull({"keyUsage", "digitalSignature"});
    withNull.pointers[1] = nullptr;
    std::string encoded, error;
    EXPECT_FALSE(BuildExtensions(withNull.data(), withNull.size(), encoded, error));
}

static std::string Subject(std::vector<std::string> texts)
{
    TextList list(std::move(texts));
    std::string encoded, error;
    if (!BuildSubjectName(list.data(), list.size(), encoded, error))
        return "refused: " + error;
    return encoded;
}

static std::string Rdn(const char *oid, unsigned char tag, const std::string &value)
{
    return der::SetOf({der::Sequence({der::Oid(oid), der::Tlv(tag, value)})});
}

TEST(RequestText, SubjectKeepsOrderAndTypes)
{
    EXPECT_EQ(der::Sequence({
                  Rdn("2.5.4.4", 0x0C, "Иванов"),
                  Rdn("2.5.4.6", 0x13, "RU"),
                  Rdn("1.2.840.113549.1.9.1", 0x16, "ivanov@example.ru"),
                  Rdn("1.2.643.3.131.1.1", 0x12, "007712345678"),
                  Rdn("1.2.643.100.1", 0x0C, "1027700000000"),
              }),
              Subject({"2.5.4.4", "Иванов", "2.5.4.6", "RU", "1.2.840.113549.1.9.1", "ivanov@example.ru",
                       "1.2.643.3.131.1.1", "NUMERICSTRING:007712345678", "1.2.643.100.1", "1027700000000"}));
    EXPECT_EQ(der::Sequence({}), Subject({}));
    EXPECT_EQ(0u, Subject({"2.5.4.4"}).find("refused"));
    EXPECT_EQ(0u, Subject({"surname", "Иванов"}).find("refused"));
    EXPECT_EQ(0u, Subject({"1.2.643.3.131.1.1", "NUMERICSTRING:77-12"}).find("refused"));
    EXPECT_EQ(0u, Subject({"2.5.4.6", "РФ"}).find("refused"));
    EXPECT_EQ(0u, Subject({"2.5.4.3", "\xC8\xE2\xE0\xED"}).find("refused"));
}
