// One renewal hosted by the test program: a stand-in token and a test CA made
// for the case, the renewal server on port 2000, the renewal progress dialog
// run from the program's library, and a driver that answers the PIN dialog
// and reads every box the renewal shows.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/soft_token_tool.h"

// A box the renewal showed, as the user met it.
struct ShownBox {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    bool ownedByProgress = false;
    int progress = -1;  // position of the bar when the box appeared
    bool noByDefault = false;
};

struct RenewalOutcome {
    INT_PTR result = -1;
    bool pinAsked = false;
    bool ended = false;
    std::vector<ShownBox> boxes;
    int progressMax = -1;
    DWORD pinAnsweredAt = 0;   // GetTickCount when "Ok" was pressed
    DWORD fullBarAt = 0;       // when the bar first stood at its maximum
    DWORD lastBoxAt = 0;       // when the last box appeared
    bool pinAfterLogin = false;  // pinBuffer still held the PIN once the login was done
};

class RenewalTest : public ::testing::Test {
protected:
    // The holder's current identifier, from an earlier renewal.
    static const std::string oldId;
    static const char *const pin;

    void SetUp() override;
    void TearDown() override;

    // softtoken with the arguments; the test fails if it does.
    std::string Tool(const std::vector<std::string> &args);
    // testca with the arguments (already quoted for sh); returns its output.
    std::string Ca(const std::string &arguments);

    // A token in slot 0 with the holder's key pair and certificate under
    // oldId, the CA that issued it, and (paid) a paid renewal.
    void MakeHolder(bool paid = true, int pinTries = 10);
    // The record the search would make of the certificate object with the
    // identifier, as the only entry of certList, chosen.
    void ChooseCertificate(const std::string &id);
    // testca serve on port 2000 with these faults ("close:pay", ...) and
    // other options (already quoted for sh).
    void StartServer(const std::vector<std::string> &faults = {}, const std::string &options = "");
    void StopServer();
    // A second testca serve, of another CA folder, on a free renewal port:
    // its certificates' HTTP server on that folder's port.
    void StartSecondServer(const std::string &folder);

    // Runs the renewal progress dialog; the driver types pinText and presses
    // "Ok" (or "Отмена" when cancel), and answers every box with OK (Yes/No: answer).
    RenewalOutcome Renew(bool cancel = false, const wchar_t *pinText = L"1234");

    // The one box of a failed run, with its exact caption and text, owned by
    // the progress dialog; result 0.
    void ExpectOneError(const RenewalOutcome &outcome, const std::wstring &caption, const std::wstring &text,
                        int progress, bool ownedByProgress = true);

    std::vector<TokenObject> Objects();
    std::vector<TokenObject> WithId(const std::string &idHex);
    // Identifiers other than oldId: the new objects of this run.
    std::vector<TokenObject> NewObjects();
    // The token still holds a certificate whose public key is the token's
    // public key of the same identifier, and a private key beside them.
    void ExpectWorkingCertificate();
    std::vector<std::string> TokenJournal();
    std::vector<std::string> CaJournal();
    bool JournalHas(const std::string &function);

    std::string dir, caDir, tokenJournal;
    std::string oldSerial;     // the old certificate's serial (hex as testca prints it)
    std::string oldCertificate;  // its DER
    std::vector<TokenObject> before;  // the token's objects before the renewal
    int serverPid = 0;
    int secondServerPid = 0;
    int portHolder = 0;  // keeps port 2000 closed for the case
    int answer = IDNO;
    std::string screenshots;  // when set, Renew saves the PIN dialog and each box under this name
    // When set, Renew calls it for each box while the box is still open.
    std::function<void(const ShownBox &)> onBox;
    // When set, Renew calls it every 20 ms while the renewal runs.
    std::function<void()> whileRenewing;
};
