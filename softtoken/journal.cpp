#include "softtoken/journal.h"

#include "softtoken/store.h"

#include <windows.h>

#include <cstdio>

static bool journalEnabled = true;

void SetJournalEnabled(bool enabled)
{
    journalEnabled = enabled;
}

JournalLine &JournalLine::Add(const char *key, unsigned long value)
{
    return AddText(key, std::to_string(value));
}

JournalLine &JournalLine::AddHex(const char *key, unsigned long value)
{
    char hex[16];
    snprintf(hex, sizeof hex, "0x%lx", value);
    return AddText(key, hex);
}

JournalLine &JournalLine::AddText(const char *key, const std::string &value)
{
    text += ' ';
    text += key;
    text += '=';
    text += value;
    return *this;
}

CK_RV JournalLine::Write(CK_RV rv)
{
    if (!journalEnabled)
        return rv;
    std::string path = EnvironmentText("SOFTTOKEN_JOURNAL");
    if (path.empty())
        return rv;
    AddHex("rv", rv);
    text += '\n';
    // Opened for appending and closed again for every line, so the line is on
    // disk before the call returns, whatever happens to the process next.
    HANDLE file = CreateFileW(Wide(WindowsPathOf(path)).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return rv;
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
    FlushFileBuffers(file);
    CloseHandle(file);
    return rv;
}
