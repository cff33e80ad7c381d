#include "support/token_fixture.h"

#include <windows.h>

#include <map>
#include <sstream>

#include "support/unix_command.h"

namespace {

// The value of "key=" in a journal line, empty when absent.
std::string Field(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<std::string> JournalLines(const std::string &journal)
{
    std::string text;
    ReadFileBytes(journal, text);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TokenStore UseFreshTokenStore(const std::string &workDir)
{
    TokenStore store{workDir + "/tokens", workDir + "/journal.log"};
    CreateDirectoryW(WindowsPath(store.dir).c_str(), nullptr);
    WriteFileBytes(store.journal, "");
    SetEnvironmentVariableW(L"SOFTTOKEN_DIR", WindowsPath(store.dir).c_str());
    SetEnvironmentVariableW(L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal).c_str());
    return store;
}

void ForgetTokenStore()
{
    SetEnvironmentVariableW(L"SOFTTOKEN_JOURNAL", nullptr);
    SetEnvironmentVariableW(L"SOFTTOKEN_DIR", nullptr);
}

bool MakeTestCa(const std::string &caDir)
{
    std::string testca = TestEnv("KESTRAVA_TESTCA");
    return !testca.empty() && RunUnix(ShellQuote(testca) + " init " + ShellQuote(caDir)) == 0;
}

std::string MintCertificate(const std::string &caDir, const std::string &outDer,
                            const std::vector<std::string> &rdns, const std::string &options)
{
    std::string command = ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " mint " + ShellQuote(caDir) + " --out " +
                          ShellQuote(outDer);
    for (const std::string &rdn : rdns)
        command += " --rdn " + ShellQuote(rdn);
    std::string serial;
    if (RunUnix(command + " " + options + " 2>" + ShellQuote(outDer + ".mint.err"), &serial) != 0)
        return "";
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r'))
        serial.pop_back();
    return serial;
}

std::vector<std::string> SessionsLeftOpen(const std::string &journal)
{
    std::map<std::string, std::string> open;  // session -> slot
    for (const std::string &line : JournalLines(journal)) {
        if (Field(line, "rv") != "0x0")
            continue;
        if (line.compare(0, 14, "C_OpenSession ") == 0) {
            open[Field(line, "session")] = Field(line, "slot");
        } else if (line.compare(0, 15, "C_CloseSession ") == 0) {
            open.erase(Field(line, "session"));
        } else if (line.compare(0, 19, "C_CloseAllSessions ") == 0) {
            std::string slot = Field(line, "slot");
            for (auto it = open.begin(); it != open.end();)
                it = it->second == slot ? open.erase(it) : std::next(it);
        } else if (line.compare(0, 11, "C_Finalize ") == 0) {
            open.clear();
        }
    }
    std::vector<std::string> left;
    for (const auto &session : open)
        left.push_back("slot=" + session.second + " session=" + session.first);
    return left;
}

std::vector<std::string> JournalCalls(const std::string &journal, const std::string &function)
{
    std::vector<std::string> calls;
    for (const std::string &line : JournalLines(journal))
        if (line.compare(0, function.size() + 1, function + " ") == 0)
            calls.push_back(line);
    return calls;
}
