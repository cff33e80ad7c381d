#include "support/soft_token_tool.h"

#include <windows.h>

#include <sstream>

#include "support/unix_command.h"

// One argument quoted the way the C runtime splits a command line.
static std::wstring QuoteArgument(const std::wstring &argument)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

int RunSoftToken(const std::vector<std::string> &args, std::string *output, int timeoutSeconds)
{
    std::wstring line = QuoteArgument(WindowsPath(TestEnv("KESTRAVA_BIN") + "/softtoken.exe"));
    for (const auto &argument : args)
        line += L" " + QuoteArgument(Widen(argument));

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return -1;
    }
    // Read on a thread of its own so that a chatty tool cannot block on a
    // full pipe while we wait for it.
    struct Reader {
        HANDLE pipe;
        std::string text;
        static DWORD WINAPI Run(LPVOID self)
        {
            Reader *reader = (Reader *)self;
            char buffer[4096];
            DWORD count;
            while (ReadFile(reader->pipe, buffer, sizeof buffer, &count, nullptr) && count > 0)
                reader->text.append(buffer, count);
            return 0;
        }
    } reader = {readEnd, ""};
    HANDLE readerThread = CreateThread(nullptr, 0, Reader::Run, &reader, 0, nullptr);
    DWORD waited = WaitForSingleObject(pi.hProcess, timeoutSeconds * 1000);
    DWORD code = (DWORD)-1;
    if (waited == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(readerThread, 10000);
    CloseHandle(readerThread);
    CloseHandle(readEnd);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (output)
        *output = reader.text;
    return waited == WAIT_OBJECT_0 ? (int)code : -1;
}

std::vector<TokenObject> ListTokenObjects(int slot)
{
    std::string output;
    std::vector<TokenObject> objects;
    if (RunSoftToken({"list", std::to_string(slot)}, &output) != 0)
        return objects;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 7, "handle=") != 0)
            continue;
        TokenObject object;
        std::istringstream fields(line);
        std::string field;
        // The label may hold spaces: it runs up to " value-length=".
        size_t labelAt = line.find(" label=");
        size_t lengthAt = line.rfind(" value-length=");
        if (labelAt != std::string::npos && lengthAt != std::string::npos && lengthAt > labelAt) {
            object.label = line.substr(labelAt + 7, lengthAt - labelAt - 7);
            object.valueLength = strtoul(line.c_str() + lengthAt + 14, nullptr, 10);
        }
        while (fields >> field) {
            if (field.compare(0, 7, "handle=") == 0)
                object.handle = strtoul(field.c_str() + 7, nullptr, 10);
            else if (field.compare(0, 6, "class=") == 0)
                object.objectClass = field.substr(6);
            else if (field.compare(0, 3, "id=") == 0)
                object.idHex = field.substr(3);
        }
        objects.push_back(object);
    }
    return objects;
}

std::string ToHexText(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string FromHexText(const std::string &hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += (char)strtoul(hex.substr(i, 2).c_str(), nullptr, 16);
    return bytes;
}
