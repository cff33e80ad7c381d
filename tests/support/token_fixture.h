// Stand-in tokens and certificates made at test time: a token store of the
// test's own, testca's minting, and the store's call journal.
#pragma once

#include <string>
#include <vector>

// A folder of stand-in tokens and its call journal (Linux paths).
struct TokenStore {
    std::string dir;
    std::string journal;
};

// An empty store in workDir. The token library of this process (from its
// next C_Initialize), the softtoken tool and the programs started from here
// all use it.
TokenStore UseFreshTokenStore(const std::string &workDir);
// Leaves this process without a store again: its token library then reports
// no slots.
void ForgetTokenStore();

// A fresh test CA in caDir (testca init); false when it could not be made.
bool MakeTestCa(const std::string &caDir);

// Issues a certificate into outDer with testca mint. rdns are "TYPE=VALUE"
// items in certificate order; options are added as they are, e.g.
// "--key-out k.pem --not-after +20d". Returns the serial, empty on failure.
std::string MintCertificate(const std::string &caDir, const std::string &outDer,
                            const std::vector<std::string> &rdns, const std::string &options);

// The sessions that the journal shows opened and never closed, as
// "slot=S session=N" (empty when every session was closed).
std::vector<std::string> SessionsLeftOpen(const std::string &journal);

// Lines of the journal that start with the function name.
std::vector<std::string> JournalCalls(const std::string &journal, const std::string &function);
