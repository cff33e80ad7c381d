// The payment request and reply, the request's extension list and the check
// of a certificate reply.
#include <gtest/gtest.h>

#include <string>

#include "renewal/formats.h"
#include "support/unix_command.h"
#include "token/token_library.h"

namespace {

std::string Bytes(const CK_BYTE *data, size_t length)
{
    return std::string((const char *)data, length);
}

TEST(PaymentReply, LengthDecidesFirstThenBytesFiveToSeven)
{
    CK_BYTE paid[8] = {'a', 'n', 'y', 0xFF, 0x00, 0x00, 0x03, 0x01};
    EXPECT_EQ(NothingReceived, ClassifyPaymentReply(nullptr, 0));
    EXPECT_EQ(UnexpectedReply, ClassifyPaymentReply(paid, 1));
    EXPECT_EQ(UnexpectedReply, ClassifyPaymentReply(paid, 7));
    EXPECT_EQ(Paid, ClassifyPaymentReply(paid, 8));

    CK_BYTE longer[20] = {0, 0, 0, 0, 0, 0x00, 0x03, 0x01, 9, 9, 9};
    EXPECT_EQ(Paid, ClassifyPaymentReply(longer, 20));

    for (int i = 5; i < 8; ++i) {
        CK_BYTE other[8];
        memcpy(other, paid, 8);
        other[i] ^= 0x10;
        EXPECT_EQ(NotPaid, ClassifyPaymentReply(other, 8)) << "byte " << i;
    }
}

TEST(PaymentRequest, IsTheSameSevenBytesForEveryone)
{
    EXPECT_EQ(std::string("MsgF0\x00\x01", 7), Bytes(PaymentRequest, sizeof PaymentRequest));
}

TEST(Extensions, FourPairsWithTheSigningToolInUtf8)
{
    char *exts[8];
    char utf8Tool[256];
    memset(utf8Tool, 0x7F, sizeof utf8Tool);
    BuildExtensions(exts, utf8Tool);
    EXPECT_STREQ("keyUsage", exts[0]);
    EXPECT_STREQ("digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment", exts[1]);
    EXPECT_STREQ("extendedKeyUsage", exts[2]);
    EXPECT_STREQ("1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,1.2.643.3.6.78.4.5,"
                 "1.3.6.1.5.5.7.3.4,1.2.643.5.1.28.4,1.2.643.3.6.0.13",
                 exts[3]);
    EXPECT_STREQ("1.2.643.100.111", exts[4]);
    EXPECT_EQ(utf8Tool, exts[5]);
    EXPECT_EQ(105u, strlen(exts[5]));  // 106 bytes with the terminating zero
    EXPECT_STREQ(u8"ASN1:UTF8String:СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»", exts[5]);
    EXPECT_STREQ("1.3.6.1.4.1.311.21.7", exts[6]);
    EXPECT_STREQ("ASN1:SEQUENCE:certificateTemplate\n[certificateTemplate]\ntemplateID=OID:1.2.643.3.6.3.13\n"
                 "templateMajorVersion=INTEGER:1\ntemplateMinorVersion=INTEGER:0",
                 exts[7]);
}

// Two GOST key pairs made by openssl, each with a certificate request and a
// certificate for its key.
class CertificateReply : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string dir = FreshWorkDir("certificate-reply");
        std::string output;
        std::string script = "cd " + ShellQuote(dir) + " && for n in 1 2; do "
                             "openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out k$n.pem && "
                             "openssl req -engine gost -new -key k$n.pem -subj /CN=Holder$n -outform DER -out r$n.der && "
                             "openssl req -engine gost -x509 -new -key k$n.pem -subj /CN=Holder$n -days 30 "
                             "-outform DER -out c$n.der || exit 1; done";
        ASSERT_EQ(0, RunUnix(script, &output)) << output;
        ASSERT_TRUE(ReadFileBytes(dir + "/c1.der", cert1));
        ASSERT_TRUE(ReadFileBytes(dir + "/c2.der", cert2));
        ASSERT_TRUE(ReadFileBytes(dir + "/r1.der", request1));
        ASSERT_TRUE(ReadFileBytes(dir + "/r2.der", request2));
    }
    // The length of the certificate for the request's key that leads the
    // reply, 0 for none.
    static size_t Leading(const std::string &reply, const std::string &request)
    {
        CERT_PUBLIC_KEY_INFO *key =
            DecodeRequestPublicKey((const CK_BYTE *)request.data(), (CK_ULONG)request.size());
        EXPECT_NE(nullptr, key) << "the request does not decode";
        if (key == nullptr)
            return 0;
        size_t length = LeadingCertificateLength((const CK_BYTE *)reply.data(), (unsigned int)reply.size(), *key);
        LocalFree(key);
        return length;
    }
    static std::string cert1, cert2, request1, request2;
};
std::string CertificateReply::cert1, CertificateReply::cert2, CertificateReply::request1, CertificateReply::request2;

TEST_F(CertificateReply, TheCertificateOfTheRequestedKeyIsAcceptedAndNoOther)
{
    EXPECT_EQ(cert1.size(), Leading(cert1, request1));
    EXPECT_EQ(cert2.size(), Leading(cert2, request2));
    EXPECT_EQ(0u, Leading(cert1, request2));
    EXPECT_EQ(0u, Leading(cert2, request1));
}

// The certificate that leads the reply is taken without what follows it; a
// reply that does not begin with a whole one gives nothing.
TEST_F(CertificateReply, OnlyTheLeadingCertificateCounts)
{
    EXPECT_EQ(cert1.size(), Leading(cert1 + "\r\n", request1));
    EXPECT_EQ(cert1.size(), Leading(cert1 + cert1, request1));
    EXPECT_EQ(0u, Leading("\r\n" + cert1, request1));
    EXPECT_EQ(0u, Leading(cert1.substr(0, cert1.size() - 1), request1));
    EXPECT_EQ(0u, Leading(std::string(200, '\x30'), request1));
    std::string garbage;
    for (int i = 0; i < 200; ++i)
        garbage += (char)(i * 37 + 11);
    EXPECT_EQ(0u, Leading(garbage, request1));
    EXPECT_EQ(0u, Leading("", request1));
}

// Only the start of a certificate, from its tag and long-form length on,
// counts as one cut off on the way; a refusal, a whole reply or bytes that
// are no certificate do not.
TEST_F(CertificateReply, OnlyTheStartOfACertificateIsCutOff)
{
    auto cut = [](const std::string &reply) {
        return ReplyIsCutCertificate((const CK_BYTE *)reply.data(), (unsigned int)reply.size());
    };
    // The tag with the length's first octet, one length octet missing, the
    // bare header: the certificate's length is in the long form.
    ASSERT_EQ(std::string("\x30\x82", 2), cert1.substr(0, 2));
    EXPECT_TRUE(cut(cert1.substr(0, 2)));
    EXPECT_TRUE(cut(cert1.substr(0, 3)));
    EXPECT_TRUE(cut(cert1.substr(0, 4)));
    EXPECT_TRUE(cut(cert1.substr(0, 129)));
    EXPECT_TRUE(cut(cert1.substr(0, cert1.size() - 1)));
    EXPECT_TRUE(cut(cert1.substr(0, 100)));
    EXPECT_FALSE(cut("refused"));
    // Texts such as "0" or "000" are refusals: a lone 0x30 cannot be told
    // from "0", and a short-form length is no certificate's.
    EXPECT_FALSE(cut("0"));
    EXPECT_FALSE(cut("000"));
    EXPECT_FALSE(cut(cert1));
    EXPECT_FALSE(cut(cert1 + cert1));
    EXPECT_FALSE(cut(std::string("\x30\x82\x10\x00\x02", 5) + std::string(300, 'x')));
    EXPECT_FALSE(cut(std::string(300, 'x')));
}

TEST_F(CertificateReply, ARequestThatDoesNotDecodeGivesNothing)
{
    EXPECT_EQ(nullptr, DecodeRequestPublicKey((const CK_BYTE *)request1.data(), (CK_ULONG)request1.size() - 1));
    EXPECT_EQ(nullptr, DecodeRequestPublicKey((const CK_BYTE *)"\x30\x03\x02\x01\x05", 5));
    EXPECT_EQ(nullptr, DecodeRequestPublicKey(nullptr, 0));
}

}  // namespace
