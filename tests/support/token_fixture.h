// Stand-in tokens and certificates made at test time: the softtoken tool on a
// store folder of the test's own, testca's minting, and the call journal.
#pragma once

#include <string>
#include <vector>

// A folder of stand-in tokens and its call journal (Linux paths).
struct TokenStore {
    std::string dir;
    std::string journal;
};

// An empty store in workDir.
TokenStore MakeTokenStore(const std::string &workDir);

// Points this process's token library at the store (SOFTTOKEN_DIR and
// SOFTTOKEN_JOURNAL); call it before C_Initialize.
void UseTokenStore(const TokenStore &store);

// Runs softtoken.exe on the store with arguments (UTF-8); returns its exit
// code, -1 when it did not start or end in time. output gets what it printed.
int Softtoken(const TokenStore &store, const std::string &arguments, std::string *output = nullptr);

// A fresh test CA in caDir (testca init); false when it could not be made.
bool MakeTestCa(const std::string &caDir);

// Issues a certificate into outDer with testca mint. rdns are "TYPE=VALUE"
// items in certificate order (UTF-8); options are added as they are, e.g.
// "--key-out k.pem --not-after +20d". Returns the serial, empty on failure.
std::string MintCertificate(const std::string &caDir, const std::string &outDer,
                            const std::vector<std::string> &rdns, const std::string &options);

// The sessions that the journal shows opened and never closed, as
// "slot=S session=N" (empty when every session was closed).
std::vector<std::string> SessionsLeftOpen(const std::string &journal);

// Lines of the journal that start with the function name.
std::vector<std::string> JournalCalls(const std::string &journal, const std::string &function);

// UTF-8 and UTF-16.
std::wstring Wide(const std::string &utf8);
std::string Utf8(const std::wstring &text);
