// Running the stand-in token's tool (softtoken.exe beside the program) from
// tests, and reading what it lists.
#pragma once

#include <string>
#include <vector>

// Runs KESTRAVA_BIN/softtoken.exe with the arguments in this process's
// environment (SOFTTOKEN_DIR); returns its exit code, -1 if it could not run
// or did not end in time. output receives what it printed.
int RunSoftToken(const std::vector<std::string> &args, std::string *output = nullptr, int timeoutSeconds = 120);

// One line of "softtoken list SLOT".
struct TokenObject {
    unsigned long handle = 0;
    std::string objectClass;  // certificate, public-key, private-key, data
    std::string idHex;
    std::string label;
    unsigned long valueLength = 0;
};

std::vector<TokenObject> ListTokenObjects(int slot);

// Lower-case hexadecimal of bytes, and back.
std::string ToHexText(const std::string &bytes);
std::string FromHexText(const std::string &hex);
