// Running Linux tools (testca, openssl, sh) from tests that run under Wine,
// and the folders the tests work in.
#pragma once

#include <string>

// Runs a command line with /bin/sh on the Linux side and waits for it.
// Wine starts Unix programs detached and does not pass their exit code, so the
// command's status and output travel through files. Returns the exit status,
// or -1 on time-out. output (if given) receives stdout and stderr together.
int RunUnix(const std::string &command, std::string *output = nullptr, int timeoutSeconds = 120);

// Starts a command in the background on the Linux side; returns its process
// id (0 on failure). StopUnix sends it SIGTERM and waits for it to end.
int StartUnix(const std::string &command, const std::string &logFile);
void StopUnix(int pid);

// Test code keeps Linux-side text (commands, paths, subjects) as UTF-8.
std::wstring Widen(const std::string &utf8);
std::string Narrow(const std::wstring &wide);

// Quotes a string for /bin/sh.
std::string ShellQuote(const std::string &text);

// A Linux path as Wine's Z: drive shows it, and back.
std::wstring WindowsPath(const std::string &unixPath);
std::string UnixPath(const std::wstring &windowsPath);

// An empty folder for one test under the build tree's test-work folder
// (Linux path), made anew on every call.
std::string FreshWorkDir(const std::string &name);

// The environment the test runner set (empty when unset).
std::string TestEnv(const char *name);

// Reads and writes whole files by Linux path.
bool ReadFileBytes(const std::string &unixPath, std::string &bytes);
bool WriteFileBytes(const std::string &unixPath, const std::string &bytes);
