#include "support/server_port.h"

#include <windows.h>

#include "support/unix_command.h"

int HoldServerPortClosed(const std::string &logFile)
{
    // perl is part of every Debian system; its socket sets no SO_REUSEADDR.
    const std::string holder =
        "exec perl -MSocket -e 'socket(S, PF_INET, SOCK_STREAM, 0) or die; "
        "bind(S, sockaddr_in(2000, inet_aton(\"127.0.0.1\"))) or die \"busy: $!\\n\"; "
        "$| = 1; print \"held\\n\"; sleep 3600'";
    for (int attempt = 0; attempt < 120; ++attempt) {
        int pid = StartUnix(holder, logFile);
        if (pid == 0)
            return 0;
        std::string text;
        for (int waited = 0; waited < 100 && text.empty(); ++waited) {
            Sleep(50);
            ReadFileBytes(logFile, text);
        }
        if (text.find("held") != std::string::npos)
            return pid;
        StopUnix(pid);
        Sleep(1000);
    }
    return 0;
}

void ReleaseServerPort(int holder)
{
    StopUnix(holder);
}
