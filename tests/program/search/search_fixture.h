// What the tests of the search and the certificate list share: one test CA
// with a few holders' certificates minted once, a token store per test, the
// token library pointed at it, and the search run behind its dialog.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/token_fixture.h"

// A certificate minted for the tests: its DER file and its holder's name.
struct MintedCertificate {
    std::string file;
    std::wstring name;
};

class SearchFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A present token in slot with the given certificates, imported in order
    // with the identifiers 01, 02, ... unless ids says otherwise.
    void MakeToken(int slot, const std::vector<MintedCertificate> &certificates,
                   const std::vector<std::string> &ids = {});
    // Puts an object of class certificate with these bytes on the token.
    void AddCertificateObject(int slot, const std::string &idHex, const std::string &bytes);
    // Runs softtoken on the test's store and fails the test when it fails.
    void Tool(const std::vector<std::string> &arguments);

    // Initialises the token library on the test's store.
    void StartLibrary();

    // Runs the search behind its dialog; every status text seen goes to
    // statusTexts. Fails the test when the dialog does not open or end.
    void RunSearch(std::vector<std::wstring> *statusTexts = nullptr, const char *screenshot = nullptr);

    // Fails the test when a session stayed open after the search.
    void ExpectNoSessionLeftOpen();

    std::wstring RecordName(int index);

    static std::string caDir;
    static MintedCertificate ivanov, petrov, sidorova, large;
    std::string work;
    TokenStore store;
    bool libraryStarted = false;
};

// The caption of the search dialog.
extern const wchar_t searchCaption[];
