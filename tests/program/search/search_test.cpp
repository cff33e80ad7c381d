// The search behind its dialog, hosted as the renewal dialog hosts it, against
// stand-in tokens: what it finds, in which order, what it passes over, and
// that it leaves no session open.
#include <gtest/gtest.h>

#include <cstring>

#include "cert/cert_record.h"
#include "search_fixture.h"
#include "support/soft_token_tool.h"
#include "support/unix_command.h"
#include "support/window_driver.h"
#include "token/search.h"

using Search = SearchFixture;

namespace {

std::string IdOf(int index)
{
    CertRecord record = certList.get(index);
    std::string hex;
    char digits[3];
    for (int i = 0; i < 256 && record.ckaID[i]; ++i) {
        snprintf(digits, sizeof digits, "%02X", record.ckaID[i]);
        hex += digits;
    }
    return hex;
}

}  // namespace

TEST_F(Search, NoTokenShowsSearchingAndLeavesTheListEmpty)
{
    selectedIndex = 3;
    std::vector<std::wstring> texts;
    DWORD start = GetTickCount();
    RunSearch(&texts);
    DWORD took = GetTickCount() - start;
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(L"Ищем носители", texts[0]);
    EXPECT_GE(took, 900u) << "the dialog stays about a second";
    EXPECT_EQ(0, certList.count());
    EXPECT_EQ(-1, selectedIndex);
}

TEST_F(Search, AnAbsentTokenIsNotSearched)
{
    MakeToken(0, {ivanov});
    Tool({"present", "0", "no"});
    RunSearch();
    EXPECT_EQ(0, certList.count());
    EXPECT_TRUE(JournalCalls(store.journal, "C_OpenSession").empty());
}

TEST_F(Search, TwoTokensAreListedBySlotThenInTheTokensOrder)
{
    // Identifiers out of order, so that the token's own order shows.
    MakeToken(0, {petrov, ivanov}, {"0B", "0A"});
    MakeToken(1, {sidorova});
    std::vector<std::wstring> texts;
    RunSearch(&texts, "search-dialog");
    ASSERT_EQ(3, certList.count());
    EXPECT_EQ(petrov.name, RecordName(0));
    EXPECT_EQ(ivanov.name, RecordName(1));
    EXPECT_EQ(sidorova.name, RecordName(2));
    EXPECT_EQ("0B", IdOf(0));
    EXPECT_EQ("0A", IdOf(1));
    EXPECT_EQ("01", IdOf(2));
    EXPECT_EQ(0u, certList.get(0).slotId);
    EXPECT_EQ(1u, certList.get(2).slotId);
    EXPECT_EQ(-1, selectedIndex);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Носителей: 2", texts.back());
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, TwelveTokensAreCountedInTheStatus)
{
    for (int slot = 0; slot < 12; ++slot)
        MakeToken(slot, {});
    std::vector<std::wstring> texts;
    RunSearch(&texts);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Носителей: 12", texts.back());
    EXPECT_EQ(12u, JournalCalls(store.journal, "C_OpenSession").size());
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ATokenThatDoesNotAnswerIsPassedOver)
{
    MakeToken(0, {ivanov});
    MakeToken(1, {petrov});
    Tool({"fault", "0", "token-info-fails"});
    RunSearch();
    ASSERT_EQ(1, certList.count());
    EXPECT_EQ(petrov.name, RecordName(0));
    EXPECT_EQ(1u, certList.get(0).slotId);
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, OnlyTheFirst128CertificatesOfATokenAreRead)
{
    Tool({"init", "0", "--label", "Many"});
    const MintedCertificate *cycle[] = {&ivanov, &petrov, &sidorova};
    for (int i = 0; i < 130; ++i) {
        char id[8];
        snprintf(id, sizeof id, "%04X", 0x1001 + i);  // no zero byte: the record keeps no length
        Tool({"import-cert", "0", "--id", id, "--label", std::string("c") + id, "--file", cycle[i % 3]->file});
    }
    RunSearch();
    ASSERT_EQ(128, certList.count());
    for (int i = 0; i < 128; ++i) {
        char id[8];
        snprintf(id, sizeof id, "%04X", 0x1001 + i);
        ASSERT_EQ(id, IdOf(i)) << "row " << i;
        ASSERT_EQ(cycle[i % 3]->name, RecordName(i)) << "row " << i;
    }
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ACertificateOverTheReadBufferIsPassedOverAndTheRestRead)
{
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(large.file, bytes));
    ASSERT_GT(bytes.size(), 4096u);
    MakeToken(0, {ivanov, large, petrov});
    RunSearch();
    ASSERT_EQ(2, certList.count());
    EXPECT_EQ(ivanov.name, RecordName(0));
    EXPECT_EQ(petrov.name, RecordName(1));
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, CertificatesOfDifferentSizesAreEachReadWhole)
{
    // A short certificate read after a longer one into the same buffer.
    std::string withExtension = work + "/long.der";
    ASSERT_FALSE(MintCertificate(caDir, withExtension, {"CN=Длинный Сертификат"},
                                 "--key-out " + withExtension + ".key --ext '1.2.643.100.112=ASN1:UTF8String:" +
                                     std::string(2000, 'y') + "'")
                     .empty());
    std::string shortFile = work + "/short.der";
    ASSERT_FALSE(MintCertificate(caDir, shortFile, {"CN=Кр"}, "--key-out " + shortFile + ".key").empty());
    MakeToken(0, {{withExtension, L"Длинный Сертификат"}, {shortFile, L"Кр"}});
    RunSearch();
    ASSERT_EQ(2, certList.count());
    EXPECT_EQ(L"Длинный Сертификат", RecordName(0));
    EXPECT_EQ(L"Кр", RecordName(1));
    std::string shortBytes;
    ASSERT_TRUE(ReadFileBytes(shortFile, shortBytes));
    PCCERT_CONTEXT context = certList.get(1).certContext;
    ASSERT_TRUE(context);
    EXPECT_EQ(shortBytes, std::string((const char *)context->pbCertEncoded, context->cbCertEncoded));
}

TEST_F(Search, AValueThatIsNotACertificateGivesAnEmptyRecord)
{
    MakeToken(0, {ivanov});
    AddCertificateObject(0, "EE", std::string(300, '\x5a'));
    Tool({"import-cert", "0", "--id", "03", "--label", "after", "--file", petrov.file});
    RunSearch();
    ASSERT_EQ(3, certList.count());
    EXPECT_EQ(ivanov.name, RecordName(0));
    CertRecord broken = certList.get(1);
    EXPECT_EQ(nullptr, broken.certContext);
    EXPECT_STREQ(L"", broken.subjectName);
    EXPECT_STREQ(L"", broken.validToText);
    EXPECT_EQ(petrov.name, RecordName(2));
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ATokenAttachedBetweenTheTwoSlotListCallsDoesNotOverrunTheList)
{
    MakeToken(0, {ivanov});
    MakeToken(1, {petrov});
    MakeToken(2, {sidorova});
    // Slots 1 and 2 are attached right after the first call has counted.
    Tool({"present", "1", "no"});
    Tool({"present", "2", "no"});
    Tool({"fault", "1", "appear-after", "C_GetSlotList", "1"});
    Tool({"fault", "2", "appear-after", "C_GetSlotList", "1"});
    std::vector<std::wstring> texts;
    RunSearch(&texts);
    ASSERT_EQ(3, certList.count());
    EXPECT_EQ(ivanov.name, RecordName(0));
    EXPECT_EQ(petrov.name, RecordName(1));
    EXPECT_EQ(sidorova.name, RecordName(2));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Носителей: 3", texts.back());
    bool tooSmall = false;
    for (const std::string &call : JournalCalls(store.journal, "C_GetSlotList"))
        tooSmall = tooSmall || call.find("rv=0x150") != std::string::npos;
    EXPECT_TRUE(tooSmall) << "the slot list did not grow between the calls";
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ASessionThatCannotBeOpenedSkipsOnlyItsToken)
{
    MakeToken(0, {ivanov});
    MakeToken(1, {petrov});
    Tool({"fault", "0", "C_OpenSession", "0x3"});
    RunSearch();
    ASSERT_EQ(1, certList.count());
    EXPECT_EQ(petrov.name, RecordName(0));
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ANewSearchStartsFromAnEmptyList)
{
    MakeToken(0, {ivanov, petrov});
    RunSearch();
    ASSERT_EQ(2, certList.count());
    selectedIndex = 1;
    Tool({"present", "0", "no"});
    RunSearch();
    EXPECT_EQ(0, certList.count());
    EXPECT_EQ(-1, selectedIndex);
    ExpectNoSessionLeftOpen();
}

TEST_F(Search, ALibraryHandingOutOneHandleACallStillGivesEveryCertificate)
{
    MakeToken(0, {ivanov, petrov, sidorova});
    Tool({"fault", "0", "find-batch", "1"});
    RunSearch();
    ASSERT_EQ(3, certList.count());
    EXPECT_EQ(ivanov.name, RecordName(0));
    EXPECT_EQ(petrov.name, RecordName(1));
    EXPECT_EQ(sidorova.name, RecordName(2));
    // The fault was in force: the certificates came one handle a call.
    size_t single = 0;
    for (const std::string &call : JournalCalls(store.journal, "C_FindObjects"))
        single += call.find(" count=1 ") != std::string::npos && call.find(" rv=0x0") != std::string::npos;
    EXPECT_GE(single, 3u);
    ExpectNoSessionLeftOpen();
}

// The background check calls a renewal's key pair unfinished only when it is
// sure that no certificate carries its identifier: a reminder that points at
// a finished renewal teaches the holder to pay again.
struct QuietRow {
    const char *name;
    bool pairCertified;               // the pair's certificate is on the token
    std::vector<std::string> faults;  // softtoken fault arguments for slot 0
    int unfinished;
    bool read;                        // the token counts as read
    bool valueOverTheRoom = false;    // an object too large ever to be read
};

class QuietCheck : public SearchFixture, public ::testing::WithParamInterface<QuietRow> {};

TEST_P(QuietCheck, APairIsUnfinishedOnlyWhenNoCertificateOfItsIdentifierExists)
{
    const QuietRow &row = GetParam();
    // A renewal's identifier: time stamp, '-', a 12-digit INN.
    std::string pairId = ToHexText("20261201120000-771234567890");
    // The pair's certificate is a large one, over the search dialog's read
    // buffer, and comes first: the faults below meet it.
    Tool({"init", "0"});
    Tool({"keygen", "0", "--id", pairId});
    if (row.pairCertified)
        Tool({"import-cert", "0", "--id", pairId, "--label", "renewed", "--file", large.file});
    Tool({"import-cert", "0", "--id", "01", "--label", "other", "--file", ivanov.file});
    if (!row.faults.empty())
        Tool(row.faults);
    if (row.valueOverTheRoom)
        AddCertificateObject(0, "02", std::string(65 * 1024 + 1, '\x30'));
    StartLibrary();
    CertList found;
    UnfinishedRenewal unfinished[maxUnfinishedRenewals];
    std::vector<TokenInSlot> read;
    EXPECT_EQ(row.unfinished, SearchTokensQuietly(found, unfinished, read));
    // A token not read is looked at again.
    ASSERT_EQ(row.read ? 1u : 0u, read.size());
    if (row.read) {
        EXPECT_EQ(0u, read[0].slot);
    }
    if (row.faults.empty() && row.pairCertified) {
        ASSERT_EQ(2, found.count());
        EXPECT_EQ(large.name, std::wstring(found.get(0).subjectName)) << "a large certificate is read whole";
    }
    ExpectNoSessionLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Search, QuietCheck,
    ::testing::Values(QuietRow{"PairWithoutCertificate", false, {}, 1, true},
                      QuietRow{"LargeCertificate", true, {}, 0, true},
                      // The first search is the certificates'; the keys' works.
                      QuietRow{"FailedCertificateSearch", true, {"fault", "0", "C_FindObjects", "0x30", "--once"}, 0, false},
                      QuietRow{"UnreadableCertificate", true, {"fault", "0", "C_GetAttributeValue", "0x30", "--once"}, 0,
                               false},
                      // Never to be read: the token is not looked at again for it.
                      QuietRow{"ValueOverTheRoom", false, {}, 0, true, true}),
    [](const ::testing::TestParamInfo<QuietRow> &info) { return std::string(info.param.name); });
