// The call journal: when SOFTTOKEN_JOURNAL names a file, every library call
// appends one line "FUNCTION key=value ... rv=0xHEX" to it and flushes it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

class JournalLine {
public:
    explicit JournalLine(const char *function) : text(function) {}
    JournalLine &Add(const char *key, unsigned long value);
    JournalLine &AddHex(const char *key, unsigned long value);
    JournalLine &AddText(const char *key, const std::string &value);
    // Appends the line with the result; returns rv for convenience.
    CK_RV Write(CK_RV rv);

private:
    std::string text;
};

// The tool switches the journal off for its own calls.
void SetJournalEnabled(bool enabled);
