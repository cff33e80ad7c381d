#include "support/unix_command.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

std::string TestEnv(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

std::string ShellQuote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::wstring Widen(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string utf8(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

std::wstring WindowsPath(const std::string &unixPath)
{
    std::wstring path = L"Z:" + Widen(unixPath);
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

std::string UnixPath(const std::wstring &windowsPath)
{
    std::wstring rest = windowsPath;
    if (rest.size() >= 2 && (rest[0] == L'Z' || rest[0] == L'z') && rest[1] == L':')
        rest = rest.substr(2);
    std::string path = Narrow(rest);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

bool ReadFileBytes(const std::string &unixPath, std::string &bytes)
{
    std::ifstream in(WindowsPath(unixPath).c_str(), std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return true;
}

bool WriteFileBytes(const std::string &unixPath, const std::string &bytes)
{
    std::ofstream out(WindowsPath(unixPath).c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    return (bool)out;
}

static bool StartShell(const std::string &script)
{
    // Quoted by the Windows command-line rules Wine follows: backslashes are
    // literal unless they precede a double quote.
    std::wstring commandLine = L"Z:\\bin\\sh -c \"";
    size_t backslashes = 0;
    for (wchar_t c : Widen(script)) {
        if (c == L'\\') {
            ++backslashes;
        } else {
            if (c == L'"')
                commandLine.append(backslashes + 1, L'\\');
            backslashes = 0;
        }
        commandLine += c;
    }
    commandLine.append(backslashes, L'\\');
    commandLine += L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    // For a Unix program Wine makes no process or thread handle and leaves
    // stale stack values in pi: closing them once closed this process's own
    // standard output. There is nothing to close.
    return true;
}

int RunUnix(const std::string &command, std::string *output, int timeoutSeconds)
{
    static LONG counter = 0;
    std::string dir = TestEnv("KESTRAVA_TEST_WORK");
    if (dir.empty())
        dir = "/tmp";
    char name[128];
    snprintf(name, sizeof name, "/.unix-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    std::string base = dir + name;
    // The command goes through a script file: its bytes reach the shell
    // unchanged, whatever character set Wine uses for Unix command lines.
    std::string script = "(" + command + ") > " + ShellQuote(base + ".out") + " 2>&1 < /dev/null\necho $? > " +
                         ShellQuote(base + ".tmp") + " && mv " + ShellQuote(base + ".tmp") + " " +
                         ShellQuote(base + ".status") + "\n";
    CreateDirectoryW(WindowsPath(dir).c_str(), nullptr);
    if (!WriteFileBytes(base + ".sh", script) || !StartShell("exec /bin/sh " + ShellQuote(base + ".sh")))
        return -1;
    std::string status;
    for (int waited = 0; waited < timeoutSeconds * 100; ++waited) {
        if (ReadFileBytes(base + ".status", status) && !status.empty())
            break;
        Sleep(10);
    }
    if (status.empty())
        return -1;
    if (output)
        ReadFileBytes(base + ".out", *output);
    DeleteFileW(WindowsPath(base + ".sh").c_str());
    DeleteFileW(WindowsPath(base + ".out").c_str());
    DeleteFileW(WindowsPath(base + ".status").c_str());
    return atoi(status.c_str());
}

int StartUnix(const std::string &command, const std::string &logFile)
{
    std::string pid;
    if (RunUnix("(" + command + ") > " + ShellQuote(logFile) + " 2>&1 < /dev/null & echo $!", &pid, 30) != 0)
        return 0;
    return atoi(pid.c_str());
}

void StopUnix(int pid)
{
    if (pid <= 0)
        return;
    // The command's shell has gone, so the process ends as an orphan, and
    // the one that adopts it may take its time to reap it: a process whose
    // state is Z has ended all the same.
    char script[320];
    snprintf(script, sizeof script,
             "kill -TERM %d 2>/dev/null; for i in $(seq 200); do"
             " state=$(sed 's/.*) //' /proc/%d/stat 2>/dev/null | cut -c1);"
             " [ -n \"$state\" ] && [ \"$state\" != Z ] || exit 0; sleep 0.05; done; kill -KILL %d",
             pid, pid, pid);
    RunUnix(script, nullptr, 30);
}

std::string FreshWorkDir(const std::string &name)
{
    std::string dir = TestEnv("KESTRAVA_TEST_WORK");
    if (dir.empty())
        dir = "/tmp/kestrava-test-work";
    dir += "/" + name;
    RunUnix("rm -rf " + ShellQuote(dir) + " && mkdir -p " + ShellQuote(dir), nullptr, 60);
    return dir;
}
