// The stand-in token's GOST work, checked against OpenSSL with the GOST
// engine: requests made by createCSR, messages made by pkcs7Sign, and the
// byte orders of keys, digests and signatures.
#include "softtoken_fixture.h"

#include "renewal/formats.h"
#include "support/unix_command.h"

#include <algorithm>
#include <cstring>

namespace {


struct Strings {
    explicit Strings(std::vector<std::string> texts) : texts(std::move(texts))
    {
        for (auto &text : this->texts)
            pointers.push_back(&text[0]);
    }
    std::vector<std::string> texts;
    std::vector<char *> pointers;
};

std::string Reversed(std::string bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

std::string Upper(std::string text)
{
    for (char &c : text)
        c = (char)toupper((unsigned char)c);
    return text;
}

// Big-endian bytes as OpenSSL prints a number: upper-case hex without
// leading zeros.
std::string Number(const std::string &bigEndian)
{
    std::string hex = Upper(ToHexText(bigEndian));
    size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? "0" : hex.substr(first);
}

// A 27-byte identifier as the program makes it, zero bytes included.
const std::string renewalId("20261207203005-7712345678\0\0", 27);

class GostCrypto : public SofttokenTest {
protected:
    void SetUp() override
    {
        SofttokenTest::SetUp();
        Tool({"init", "0"});
        ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
        ASSERT_EQ(CKR_OK, C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session));
        ASSERT_EQ(CKR_OK, C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR) "1234567890", 10));
    }

    // Runs a command in the test's folder; returns its output, and fails the
    // test when it does not exit with the expected status.
    std::string Shell(const std::string &command, int expected = 0)
    {
        std::string output;
        int status = RunUnix("cd " + ShellQuote(dir) + " && " + command, &output);
        EXPECT_EQ(expected, status) << command << "\n" << output;
        return output;
    }

    void MakeCa()
    {
        Shell("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out ca.key && "
              "openssl req -engine gost -new -x509 -key ca.key -md_gost94 -days 30 -subj '/CN=Test CA' -out ca.pem");
    }

    void GenerateKeyPair(const std::string &id, CK_OBJECT_HANDLE &publicKey, CK_OBJECT_HANDLE &privateKey)
    {
        ASSERT_EQ(CKR_OK, GenerateGostKeyPair(session, id, publicKey, privateKey));
    }

    std::string Value(CK_OBJECT_HANDLE object)
    {
        std::string value(8192, '\0');
        CK_ATTRIBUTE read[] = {{CKA_VALUE, &value[0], value.size()}};
        EXPECT_EQ(CKR_OK, C_GetAttributeValue(session, object, read, 1));
        value.resize(read[0].ulValueLen);
        return value;
    }

    CK_RV Request(CK_OBJECT_HANDLE publicKey, std::vector<std::string> subject, std::string &request,
                  std::vector<std::string> extensions = {})
    {
        if (extensions.empty()) {
            // The program's own extension set, exactly as the renewal hands it over.
            char *exts[8];
            char utf8Tool[256];
            BuildExtensions(exts, utf8Tool);
            extensions.assign(std::begin(exts), std::end(exts));
        }
        Strings dn(std::move(subject)), exts(std::move(extensions));
        CK_BYTE *csr = nullptr;
        CK_ULONG csrLength = 0;
        CK_RV rv = createCSR(session, publicKey, dn.pointers.data(), dn.pointers.size(), &csr, &csrLength, 0, 0, 0,
                             exts.pointers.data(), exts.pointers.size());
        if (rv == CKR_OK) {
            request.assign((const char *)csr, csrLength);
            EXPECT_EQ(CKR_OK, freeBuffer(csr));
        } else {
            EXPECT_EQ(nullptr, csr) << "no output on failure";
        }
        return rv;
    }

    CK_OBJECT_HANDLE StoreCertificate(const std::string &id, const std::string &value)
    {
        CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &certClass, sizeof certClass},
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, (void *)"EGAIS", 5},
            {CKA_ID, (void *)id.data(), id.size()},
            {CKA_VALUE, (void *)value.data(), value.size()},
        };
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, C_CreateObject(session, attributes, 5, &handle));
        return handle;
    }

    CK_RV Sign(CK_OBJECT_HANDLE certificate, const std::string &data, std::string &message)
    {
        CK_BYTE *envelope = nullptr;
        CK_ULONG envelopeLength = 0;
        CK_RV rv = pkcs7Sign(session, (CK_BYTE *)data.data(), data.size(), certificate, &envelope, &envelopeLength, 0,
                             0, 0, 0);
        if (rv == CKR_OK) {
            message.assign((const char *)envelope, envelopeLength);
            EXPECT_EQ(CKR_OK, freeBuffer(envelope));
        } else {
            EXPECT_EQ(nullptr, envelope) << "no output on failure";
        }
        return rv;
    }

    // A holder with a key pair on the token and a certificate for it from
    // the test CA, stored as the renewal stores one.
    CK_OBJECT_HANDLE MakeHolder(const std::string &id)
    {
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        GenerateKeyPair(id, publicKey, privateKey);
        std::string request;
        EXPECT_EQ(CKR_OK, Request(publicKey, {"2.5.4.3", "Holder", "2.5.4.4", "Иванов"}, request));
        EXPECT_TRUE(WriteFileBytes(dir + "/holder.csr", request));
        Shell("openssl x509 -engine gost -req -inform DER -in holder.csr -CA ca.pem -CAkey ca.key "
              "-set_serial 0x0123456789abcdef -days 30 -outform DER -out holder.der");
        std::string certificate;
        EXPECT_TRUE(ReadFileBytes(dir + "/holder.der", certificate));
        return StoreCertificate(id, certificate);
    }

    CK_SESSION_HANDLE session = 0;
};

}  // namespace

TEST_F(GostCrypto, RequestVerifiesWithOpenSslAndCarriesSubjectAndExtensions)
{
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    GenerateKeyPair(renewalId, publicKey, privateKey);
    std::string request;
    ASSERT_EQ(CKR_OK, Request(publicKey,
                              {"2.5.4.4", "Иванов", "2.5.4.42", "Иван Иванович", "2.5.4.6", "RU", "1.2.643.3.131.1.1",
                               "NUMERICSTRING:007712345678"},
                              request));
    ASSERT_TRUE(WriteFileBytes(dir + "/request.der", request));

    std::string text = Shell("openssl req -engine gost -inform DER -in request.der -verify -noout -text "
                             "-nameopt oneline,-esc_msb");
    EXPECT_NE(std::string::npos, text.find("self-signature verify OK")) << text;
    EXPECT_NE(std::string::npos, text.find("Subject: SN = Иванов, GN = Иван Иванович, C = RU, INN = 007712345678"))
        << text;
    EXPECT_NE(std::string::npos, text.find("Parameter set: id-GostR3410-2001-CryptoPro-A-ParamSet")) << text;
    EXPECT_NE(std::string::npos, text.find("Signature Algorithm: GOST R 34.11-94 with GOST R 34.10-2001")) << text;
    EXPECT_NE(std::string::npos,
              text.find("X509v3 Key Usage: \n"
                        "                    Digital Signature, Non Repudiation, Key Encipherment, Data Encipherment"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("X509v3 Extended Key Usage: \n"
                        "                    TLS Web Client Authentication, 1.2.643.2.2.34.6, 1.2.643.5.1.28.2, "
                        "1.2.643.5.1.28.3, 1.2.643.3.6.78.4.5, E-mail Protection, 1.2.643.5.1.28.4, 1.2.643.3.6.0.13"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("Signing Tool of Subject: \n"
                        "                    СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»"))
        << text;

    // The string types and the certificate template, element by element.
    std::string parsed = Shell("openssl asn1parse -inform DER -in request.der");
    EXPECT_NE(std::string::npos, parsed.find("UTF8STRING        :Иванов")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("UTF8STRING        :Иван Иванович")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("PRINTABLESTRING   :RU")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("NUMERICSTRING     :007712345678")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("OBJECT            :1.3.6.1.4.1.311.21.7\n")) << parsed;
    // SEQUENCE { OID 1.2.643.3.6.3.13, INTEGER 1, INTEGER 0 }
    EXPECT_NE(std::string::npos, parsed.find("[HEX DUMP]:300F06072A85030306030D020101020100")) << parsed;

    // The public key value is X then Y, little-endian; OpenSSL prints both
    // as big-endian numbers.
    std::string value = Value(publicKey);
    ASSERT_EQ(64u, value.size());
    EXPECT_NE(std::string::npos, text.find("X:" + Number(Reversed(value.substr(0, 32))) + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Y:" + Number(Reversed(value.substr(32, 32))) + "\n")) << text;
    std::string publicInfo = Shell("openssl req -engine gost -inform DER -in request.der -pubkey -noout | "
                                   "openssl pkey -engine gost -pubin -outform DER | tail -c 64 | od -An -tx1 -v");
    publicInfo.erase(std::remove_if(publicInfo.begin(), publicInfo.end(), isspace), publicInfo.end());
    EXPECT_NE(std::string::npos, publicInfo.find(ToHexText(value))) << publicInfo;

    // The signature is s then r: the other order does not verify.
    std::string swapped = request;
    std::string signature = request.substr(request.size() - 64);
    swapped.replace(swapped.size() - 64, 64, signature.substr(32) + signature.substr(0, 32));
    ASSERT_TRUE(WriteFileBytes(dir + "/swapped.der", swapped));
    std::string refused = Shell("openssl req -engine gost -inform DER -in swapped.der -verify -noout");
    EXPECT_NE(std::string::npos, refused.find("verify failure")) << refused;
    EXPECT_EQ(std::string::npos, refused.find("verify OK")) << refused;
}

TEST_F(GostCrypto, SignedMessageVerifiesWithOpenSslAndGivesTheContentBack)
{
    MakeCa();
    CK_OBJECT_HANDLE certificate = MakeHolder("holder");
    const std::string payment("MsgF0\0\1", 7);
    std::string message;
    ASSERT_EQ(CKR_OK, Sign(certificate, payment, message));
    ASSERT_TRUE(WriteFileBytes(dir + "/payment.p7", message));
    // No -certfile: the signer's certificate must be inside the message.
    std::string output = Shell("openssl cms -engine gost -verify -binary -inform DER -in payment.p7 -CAfile ca.pem "
                               "-out payment.out");
    EXPECT_NE(std::string::npos, output.find("Verification successful")) << output;
    std::string content;
    ASSERT_TRUE(ReadFileBytes(dir + "/payment.out", content));
    EXPECT_EQ(payment, content);

    std::vector<std::string> lines = ReadLines(journal);
    std::string signLine = "pkcs7Sign session=" + std::to_string(session) + " cert=" + std::to_string(certificate) +
                           " data=7 length=" + std::to_string(message.size()) + " rv=0x0";
    auto signedAt = std::find(lines.begin(), lines.end(), signLine);
    ASSERT_NE(lines.end(), signedAt) << signLine;
    ASSERT_NE(lines.end(), signedAt + 1);
    EXPECT_EQ("freeBuffer rv=0x0", signedAt[1]);
    EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(), [](const std::string &line) {
                  return line.compare(0, 18, "createCSR session=") == 0 && line.find(" length=") != std::string::npos;
              }));

    std::string parsed = Shell("openssl asn1parse -inform DER -in payment.p7");
    EXPECT_NE(std::string::npos, parsed.find(":pkcs7-signedData")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("OBJECT            :GOST R 34.11-94\n")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("OBJECT            :GOST R 34.10-2001\n")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find(":contentType")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find(":signingTime")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find(":messageDigest")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("INTEGER           :0123456789ABCDEF")) << parsed;

    // A larger content (a request) comes back byte for byte, and a stored
    // certificate value with bytes after the certificate still signs.
    std::string holder;
    ASSERT_TRUE(ReadFileBytes(dir + "/holder.der", holder));
    CK_OBJECT_HANDLE padded = StoreCertificate("holder", holder + std::string(100, '\0'));
    std::string request;
    ASSERT_TRUE(ReadFileBytes(dir + "/holder.csr", request));
    ASSERT_EQ(CKR_OK, Sign(padded, request, message));
    ASSERT_TRUE(WriteFileBytes(dir + "/request.p7", message));
    output = Shell("openssl cms -engine gost -verify -binary -inform DER -in request.p7 -CAfile ca.pem "
                   "-out request.out");
    EXPECT_NE(std::string::npos, output.find("Verification successful")) << output;
    ASSERT_TRUE(ReadFileBytes(dir + "/request.out", content));
    EXPECT_EQ(request, content);

    // A message changed after signing does not verify.
    std::string tampered = message;
    size_t at = tampered.find(request.substr(40, 16));
    ASSERT_NE(std::string::npos, at);
    tampered[at] ^= 1;
    ASSERT_TRUE(WriteFileBytes(dir + "/tampered.p7", tampered));
    Shell("openssl cms -engine gost -verify -binary -inform DER -in tampered.p7 -CAfile ca.pem -out /dev/null", 4);
}

// A private key made by OpenSSL and stored through C_CreateObject as 32
// bytes little-endian signs messages that OpenSSL accepts for its
// certificate: the token reads private values in the right order.
TEST_F(GostCrypto, PrivateKeyFromOpenSslSignsThroughTheToken)
{
    Shell("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out own.key && "
          "openssl req -engine gost -new -x509 -key own.key -md_gost94 -days 30 -subj '/CN=Own' -out own.pem && "
          "openssl x509 -in own.pem -outform DER -out own.der");
    std::string text = Shell("openssl pkey -engine gost -in own.key -noout -text");
    size_t at = text.find("Private key: ");
    ASSERT_NE(std::string::npos, at) << text;
    std::string hex = text.substr(at + 13, text.find('\n', at) - at - 13);
    hex = std::string(64 - hex.size(), '0') + hex;
    std::string privateValue = Reversed(FromHexText(hex));
    ASSERT_EQ(32u, privateValue.size());

    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_GOSTR3410;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE key[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &yes, 1},
        {CKA_ID, (void *)"own", 3},
        {CKA_GOSTR3410_PARAMS, (void *)cryptoProA, sizeof cryptoProA},
        {CKA_VALUE, &privateValue[0], 32},
    };
    CK_OBJECT_HANDLE privateKey = 0;
    ASSERT_EQ(CKR_OK, C_CreateObject(session, key, 6, &privateKey));
    std::string certificate;
    ASSERT_TRUE(ReadFileBytes(dir + "/own.der", certificate));
    CK_OBJECT_HANDLE handle = StoreCertificate("own", certificate);
    std::string message;
    ASSERT_EQ(CKR_OK, Sign(handle, "hello", message));
    ASSERT_TRUE(WriteFileBytes(dir + "/own.p7", message));
    std::string output = Shell("openssl cms -engine gost -verify -binary -inform DER -in own.p7 -CAfile own.pem");
    EXPECT_NE(std::string::npos, output.find("Verification successful")) << output;
    EXPECT_NE(std::string::npos, output.find("hello")) << output;
}

TEST_F(GostCrypto, FailuresGiveAResultAndNoOutput)
{
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    GenerateKeyPair("k", publicKey, privateKey);
    std::string request;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, Request(publicKey, {"2.5.4.3"}, request));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, Request(publicKey, {"2.5.4.3", "x"}, request, {"keyUsage", "everything"}));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, Request(publicKey, {"INN", "NUMERICSTRING:1"}, request));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, Request(privateKey, {"2.5.4.3", "x"}, request));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, Request(12345, {"2.5.4.3", "x"}, request));
    CK_BYTE *csr = nullptr;
    CK_ULONG csrLength = 0;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, createCSR(session, publicKey, nullptr, 0, &csr, &csrLength, 1, 0, 0, nullptr, 0));

    // A certificate object whose value is not a certificate, or without a
    // private key of the same identifier.
    CK_OBJECT_HANDLE junk = StoreCertificate("k", "not a certificate");
    CK_OBJECT_HANDLE orphan = StoreCertificate("nobody", "not a certificate");
    std::string message;
    EXPECT_EQ(CKR_FUNCTION_FAILED, Sign(junk, "data", message));
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, Sign(orphan, "data", message));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, Sign(publicKey, "data", message));

    // Without login neither works.
    ASSERT_EQ(CKR_OK, C_Logout(session));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, Request(publicKey, {"2.5.4.3", "x"}, request));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, Sign(junk, "data", message));

    // freeBuffer takes only what the library handed out, once.
    CK_BYTE own[4];
    EXPECT_EQ(CKR_ARGUMENTS_BAD, freeBuffer(own));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, freeBuffer(nullptr));
    ASSERT_EQ(CKR_OK, C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR) "1234567890", 10));
    ASSERT_EQ(CKR_OK, createCSR(session, publicKey, nullptr, 0, &csr, &csrLength, 0, 0, 0, nullptr, 0));
    EXPECT_EQ(CKR_OK, freeBuffer(csr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, freeBuffer(csr));

    // Forced results for the vendor calls.
    Tool({"fault", "0", "createCSR", "0x5"});
    Tool({"fault", "0", "pkcs7Sign", "0x6"});
    EXPECT_EQ(CKR_GENERAL_ERROR, Request(publicKey, {"2.5.4.3", "x"}, request));
    EXPECT_EQ(CKR_FUNCTION_FAILED, Sign(junk, "data", message));
}

// The tool makes a key pair and its request the way the program does.
TEST_F(GostCrypto, ToolMakesKeysAndRequests)
{
    EXPECT_EQ("public=1 private=2\n", Tool({"keygen", "0", "--id", "00ab00"}));
    Tool({"csr", "0", "--id", "00ab00", "--out", dir + "/tool.csr", "--subject", "2.5.4.3=Пётр Петров", "--subject",
          "1.2.643.3.131.1.1=NUMERICSTRING:7712345678"});
    std::string text = Shell("openssl req -engine gost -inform DER -in tool.csr -verify -noout -subject "
                             "-nameopt oneline,-esc_msb");
    EXPECT_NE(std::string::npos, text.find("verify OK")) << text;
    EXPECT_NE(std::string::npos, text.find("subject=CN = Пётр Петров, INN = 7712345678")) << text;
    Tool({"export-pubkey", "0", "--id", "00ab00", "--out", dir + "/tool.pub"});
    std::string exported;
    ASSERT_TRUE(ReadFileBytes(dir + "/tool.pub", exported));
    EXPECT_EQ(Value(1), exported);
    // A set the kind's size lacks, or a kind it does not know, is a wrong
    // command line; a 2001 key on a TC26 set is the token's own refusal.
    std::string output;
    EXPECT_EQ(2, RunSoftToken({"keygen", "0", "--id", "01", "--kind", "2012-512", "--paramset", "TCA"}, &output));
    EXPECT_EQ(2, RunSoftToken({"keygen", "0", "--id", "01", "--kind", "2012"}, &output));
    EXPECT_EQ(1, RunSoftToken({"keygen", "0", "--id", "01", "--kind", "2001", "--paramset", "TCA"}, &output));
    EXPECT_NE(std::string::npos, output.find("C_GenerateKeyPair: 0xd1")) << output;
    EXPECT_EQ("handle=1 class=public-key id=00ab00 label=Public key value-length=64\n"
              "handle=2 class=private-key id=00ab00 label=Private key value-length=32\n",
              Tool({"list", "0"}));
}

namespace {

// The line of OpenSSL's text that starts with label, from start on.
std::string LineOf(const std::string &text, const std::string &label, const std::string &start = "")
{
    size_t at = text.find(label, text.find(start));
    return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

// A kind of key as the tool names it and a parameter set as OpenSSL's GOST
// engine names it.
class GostKeyKinds : public GostCrypto, public testing::WithParamInterface<std::pair<std::string, std::string>> {};

}  // namespace

// The token makes each kind of key on each parameter set of its size. Its
// request verifies and carries the key exactly as the engine writes such a
// key; its signed message verifies and names the digest and algorithm the
// engine itself chooses for a key of that set.
TEST_P(GostKeyKinds, KeyRequestAndMessageAreWhatTheEngineMakes)
{
    const std::string &kind = GetParam().first, &paramset = GetParam().second;
    std::string engineAlgorithm = "gost" + kind;
    std::replace(engineAlgorithm.begin(), engineAlgorithm.end(), '-', '_');
    const std::string id = "k", idHex = ToHexText(id);
    EXPECT_EQ("public=1 private=2\n", Tool({"keygen", "0", "--id", idHex, "--kind", kind, "--paramset", paramset}));
    Tool({"export-pubkey", "0", "--id", idHex, "--out", dir + "/key.pub"});
    std::string exported;
    ASSERT_TRUE(ReadFileBytes(dir + "/key.pub", exported));
    EXPECT_EQ(kind == "2012-512" ? 128u : 64u, exported.size());

    Tool({"csr", "0", "--id", idHex, "--out", dir + "/holder.csr", "--subject", "2.5.4.3=Holder"});
    std::string request, keyInfo;
    ASSERT_TRUE(ReadFileBytes(dir + "/holder.csr", request));
    std::string text = Shell("openssl req -engine gost -inform DER -in holder.csr -verify -noout");
    EXPECT_NE(std::string::npos, text.find("verify OK")) << text;
    // The engine writes a key it has read in its own way for the key's set.
    Shell("openssl req -engine gost -inform DER -in holder.csr -pubkey -noout | "
          "openssl pkey -engine gost -pubin -outform DER -out key.spki");
    ASSERT_TRUE(ReadFileBytes(dir + "/key.spki", keyInfo));
    EXPECT_NE(std::string::npos, request.find(keyInfo));
    EXPECT_NE(std::string::npos, keyInfo.find(exported));

    // The holder's certificate from a CA, and the engine's own key on that
    // set with a certificate of its own.
    Shell(std::string("openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out ca.key && ") +
          "openssl req -engine gost -new -x509 -key ca.key -days 30 -subj '/CN=Test CA' -out ca.pem && "
          "openssl x509 -engine gost -req -inform DER -in holder.csr -CA ca.pem -CAkey ca.key "
          "-set_serial 7 -days 30 -outform DER -out holder.der && " +
          "openssl genpkey -engine gost -algorithm " + engineAlgorithm + " -pkeyopt paramset:" + paramset +
          " -out own.key && "
          "openssl req -engine gost -new -x509 -key own.key -subj /CN=own -out own.pem && "
          "echo payment > payment.txt && "
          "openssl cms -engine gost -sign -binary -nodetach -signer own.pem -inkey own.key -in payment.txt "
          "-outform DER -out own.p7");
    std::string certificate, message;
    ASSERT_TRUE(ReadFileBytes(dir + "/holder.der", certificate));
    ASSERT_EQ(CKR_OK, Sign(StoreCertificate(id, certificate), "payment", message));
    ASSERT_TRUE(WriteFileBytes(dir + "/payment.p7", message));
    std::string output = Shell("openssl cms -engine gost -verify -binary -inform DER -in payment.p7 -CAfile ca.pem");
    EXPECT_NE(std::string::npos, output.find("Verification successful")) << output;
    std::string printed = Shell("openssl cms -engine gost -cmsout -print -inform DER -in payment.p7");
    std::string own = Shell("openssl cms -engine gost -cmsout -print -inform DER -in own.p7");
    for (const char *field : {"digestAlgorithm:", "signatureAlgorithm:"}) {
        ASSERT_NE("", LineOf(own, "algorithm:", field)) << own;
        EXPECT_EQ(LineOf(own, "algorithm:", field), LineOf(printed, "algorithm:", field)) << printed;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKindAndSet, GostKeyKinds,
                         testing::Values(std::make_pair("2001", "A"), std::make_pair("2001", "XB"),
                                         std::make_pair("2012-256", "A"), std::make_pair("2012-256", "B"),
                                         std::make_pair("2012-256", "C"), std::make_pair("2012-256", "XA"),
                                         std::make_pair("2012-256", "XB"), std::make_pair("2012-256", "TCA"),
                                         std::make_pair("2012-256", "TCB"), std::make_pair("2012-256", "TCC"),
                                         std::make_pair("2012-256", "TCD"), std::make_pair("2012-512", "A"),
                                         std::make_pair("2012-512", "B"), std::make_pair("2012-512", "C")));
