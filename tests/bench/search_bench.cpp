// How the search of the real program grows with the certificates it finds:
// kestrava.exe searches stand-in tokens of 128 certificates each (as many as
// one token's search reads), 128 and then 1536 certificates in all, again
// and again through "Обновить" of the certificate list. A search's own time
// is the processor time the program's process spends while the search dialog
// is open: the second that the dialog stays after the search costs none of
// it.
// Prints the figures; it times nothing against a limit.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"

namespace {

int const perToken = 128;
int const runs = 5;
// The longest a search may take: before its list grew in linear time, 1536
// certificates took about 25 s.
int const searchTimeoutMs = 180000;

double Milliseconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

// The Linux process of the program started from KESTRAVA_BIN: Wine reports
// no processor time of a thread that has ended (the search's worker), Linux
// does. 0 when there is not exactly one.
int LinuxProcessId()
{
    std::string exe = Narrow(WindowsPath(TestEnv("KESTRAVA_BIN") + "/kestrava.exe")), output;
    RunUnix("for p in $(pgrep -f kestrava.exe); do tr '\\0' '\\n' </proc/$p/cmdline | head -n 1 | grep -q -x -i -F " +
                ShellQuote(exe) + " && echo $p; done",
            &output);
    int pid = 0;
    unsigned length = 0;
    return sscanf(output.c_str(), "%d %n", &pid, &length) == 1 && length == output.size() ? pid : 0;
}

// User and system time of the Linux process so far, its ended threads
// included, in milliseconds (in Linux's clock ticks of 10 ms); -1 when it
// cannot be read.
double ProcessorMs(int linuxPid)
{
    std::string stat;
    unsigned long long user = 0, system = 0;
    // After the name: the state, fields 4 to 13, then user and system time.
    if (!ReadFileBytes("/proc/" + std::to_string(linuxPid) + "/stat", stat) || stat.rfind(')') == std::string::npos ||
        sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
               &system) != 2)
        return -1;
    return (user + system) * 10.0;
}

// Token 0 with perToken copies of one holder's certificate, each under its
// own identifier. False when the tool or the test centre failed.
bool MakeFirstToken(const std::string &work)
{
    std::string ca = work + "/ca", der = work + "/holder.der";
    std::vector<std::string> rdns = {"C=RU",
                                     "O=ООО \"Ромашка\"",
                                     "CN=Иванов Иван Иванович",
                                     "SN=Иванов",
                                     "GN=Иван Иванович",
                                     "INN=NUMERIC:007712345678",
                                     "OGRN=NUMERIC:1027700132195",
                                     "SNILS=NUMERIC:11223344595"};
    if (!MakeTestCa(ca) || MintCertificate(ca, der, rdns, "--key-out " + ShellQuote(der + ".key")).empty() ||
        RunSoftToken({"init", "0", "--label", "JaCarta GOST"}) != 0)
        return false;
    for (int i = 0; i < perToken; ++i) {
        char id[8];
        snprintf(id, sizeof id, "%04x", i);
        if (RunSoftToken({"import-cert", "0", "--id", id, "--label", "holder", "--file", der}) != 0)
            return false;
    }
    return true;
}

// Tokens 1 to count - 1 as copies of token 0, each under its own slot.
bool CopyFirstToken(const std::string &storeDir, int count)
{
    std::string first;
    size_t slot = ReadFileBytes(storeDir + "/slot-0.json", first) ? first.find("\"slot\": 0,") : std::string::npos;
    if (slot == std::string::npos)
        return false;
    for (int i = 1; i < count; ++i) {
        std::string copy = first;
        copy.replace(slot, 10, "\"slot\": " + std::to_string(i) + ",");
        if (!WriteFileBytes(storeDir + "/slot-" + std::to_string(i) + ".json", copy))
            return false;
    }
    return true;
}

// One search through "Обновить": the program's processor time and the wall
// time while its dialog was open; false when the search did not end in time,
// its time could not be read, or the list does not show every certificate
// afterwards.
bool SearchOnce(const RunningProgram &program, int linuxPid, HWND list, int certificates, double &ownMs,
                double &wallMs)
{
    LARGE_INTEGER start, end;
    double before = ProcessorMs(linuxPid);
    QueryPerformanceCounter(&start);
    if (before < 0 || !ClickButton(list, IDC_CERT_REFRESH))
        return false;
    HWND search = nullptr;
    DWORD clicked = GetTickCount();
    while (!search && GetTickCount() - clicked < 10000) {
        search = WaitForWindow(L"Поиск сертификатов", L"#32770", 0, program.processId);
        if (!search)
            Sleep(1);
    }
    bool ended = false;
    while (search && !ended && GetTickCount() - clicked < searchTimeoutMs) {
        ended = !IsWindow(search) || !IsWindowVisible(search);
        if (!ended)
            Sleep(1);
    }
    QueryPerformanceCounter(&end);
    double after = ProcessorMs(linuxPid);
    ownMs = after - before;
    wallMs = Milliseconds(start, end);
    HWND listView = GetDlgItem(list, IDC_CERT_LIST);
    for (int waited = 0; ended && after >= 0 && waited < 20000; waited += 50) {
        if (SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0) == certificates)
            return true;
        Sleep(50);
    }
    return false;
}

// Searches runs times over tokens tokens and prints the medians.
bool MeasureSearches(const RunningProgram &program, int linuxPid, HWND list, int tokens)
{
    int certificates = tokens * perToken;
    std::vector<double> own, wall;
    for (int run = 0; run < runs; ++run) {
        double ownMs = 0, wallMs = 0;
        if (!SearchOnce(program, linuxPid, list, certificates, ownMs, wallMs)) {
            printf("search, %4d certificates: the search did not end, was not timed, or did not list them all\n", certificates);
            return false;
        }
        own.push_back(ownMs);
        wall.push_back(wallMs);
    }
    std::sort(own.begin(), own.end());
    std::sort(wall.begin(), wall.end());
    double median = own[runs / 2];
    printf("search, %4d certificates on %2d tokens: own time %.0f ms, %.3f ms a certificate (median of %d, best "
           "%.0f ms); its dialog open %.0f ms\n",
           certificates, tokens, median, median / certificates, runs, own.front(), wall[runs / 2]);
    return true;
}

}  // namespace

int main()
{
    std::string work = FreshWorkDir("search_bench");
    TokenStore store = UseFreshTokenStore(work);
    if (!MakeFirstToken(work)) {
        printf("search: the tokens could not be made\n");
        return 1;
    }
    RunningProgram program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}});
    HWND renewal = WaitForWindow(L"Продление сертификата на JaCarta ГОСТ", L"#32770", 20000, program.processId);
    HWND list = nullptr;
    if (renewal && ClickButton(renewal, IDC_CHOOSE))
        list = WaitForWindow(L"Сертификаты", L"#32770", 60000, program.processId);
    int linuxPid = list ? LinuxProcessId() : 0;
    int status = 1;
    if (!list || !linuxPid)
        printf("search: the certificate list of the program did not open, or its process was not found\n");
    else if (MeasureSearches(program, linuxPid, list, 1) && CopyFirstToken(store.dir, 12) &&
             MeasureSearches(program, linuxPid, list, 12))
        status = 0;
    KillProgram(program);
    return status;
}
