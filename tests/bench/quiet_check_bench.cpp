// The quiet check's own work over a long list: what the main window does
// with 1536 records that one token gave, every one of them due (the rule
// that asks each record's neighbours, the day of each reminder, the
// balloon), timed in this process; then the memory of a real `/tray` copy
// over 100 checks of a token full of due certificates. Prints the figures;
// it times nothing against a limit.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_time.h"
#include "app/main_window.h"
#include "app/reminder.h"
#include "cert/cert_record.h"
#include "support/soft_token_tool.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"

namespace {

int const records = 1536;
int const runs = 5;
int const checks = 100;
// Due certificates on the token of the /tray copy.
int const tokenCertificates = 32;

std::string Encoded(LPCSTR type, const void *value)
{
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, nullptr, &size))
        return "";
    std::string bytes(size, '\0');
    CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, &bytes[0], &size);
    bytes.resize(size);
    return bytes;
}

CERT_RDN_ATTR Attribute(LPSTR oid, DWORD type, const std::wstring &value)
{
    CERT_RDN_ATTR attribute = {};
    attribute.pszObjId = oid;
    attribute.dwValueType = type;
    attribute.Value.pbData = (BYTE *)value.c_str();
    attribute.Value.cbData = (DWORD)(value.size() * sizeof(wchar_t));
    return attribute;
}

// A certificate of holder number, ending at notAfter, with a GOST R
// 34.10-2001 key on the CryptoPro-A set. Its signature is never checked.
PCCERT_CONTEXT HolderCertificate(int number, const FILETIME &notBefore, const FILETIME &notAfter)
{
    std::wstring cn = L"ООО \"Ромашка " + std::to_wstring(number) + L"\"";
    std::wstring snils = std::to_wstring(10000000000LL + number), ogrn = std::to_wstring(1027700000000LL + number),
                 inn = std::to_wstring(7700000000LL + number);
    CERT_RDN_ATTR attributes[] = {
        Attribute((LPSTR) "2.5.4.6", CERT_RDN_PRINTABLE_STRING, L"RU"),
        Attribute((LPSTR) "2.5.4.10", CERT_RDN_UTF8_STRING, cn),
        Attribute((LPSTR) "2.5.4.3", CERT_RDN_UTF8_STRING, cn),
        Attribute((LPSTR) "2.5.4.4", CERT_RDN_UTF8_STRING, L"Иванов"),
        Attribute((LPSTR) "2.5.4.42", CERT_RDN_UTF8_STRING, L"Иван Иванович"),
        Attribute((LPSTR) "1.2.643.100.1", CERT_RDN_NUMERIC_STRING, ogrn),
        Attribute((LPSTR) "1.2.643.100.4", CERT_RDN_NUMERIC_STRING, inn),
        Attribute((LPSTR) "1.2.643.100.3", CERT_RDN_NUMERIC_STRING, snils),
    };
    std::vector<CERT_RDN> rdns;
    for (CERT_RDN_ATTR &attribute : attributes)
        rdns.push_back({1, &attribute});
    CERT_NAME_INFO subjectInfo = {(DWORD)rdns.size(), rdns.data()};
    std::string subject = Encoded(X509_UNICODE_NAME, &subjectInfo);
    CERT_RDN_ATTR issuerCn = Attribute((LPSTR) "2.5.4.3", CERT_RDN_UTF8_STRING, L"Тестовый УЦ");
    CERT_RDN issuerRdn = {1, &issuerCn};
    CERT_NAME_INFO issuerInfo = {1, &issuerRdn};
    std::string issuer = Encoded(X509_UNICODE_NAME, &issuerInfo);

    static BYTE keyParameters[] = {0x30, 0x12, 0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01,
                                   0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1E, 0x01};
    static BYTE key[66] = {0x04, 0x40};
    BYTE serial[4] = {(BYTE)number, (BYTE)(number >> 8), 0x5A, 0x01};  // little-endian
    CERT_INFO info = {};
    info.dwVersion = CERT_V3;
    info.SerialNumber = {sizeof serial, serial};
    info.SignatureAlgorithm.pszObjId = (LPSTR) "1.2.643.2.2.3";
    info.Issuer = {(DWORD)issuer.size(), (BYTE *)issuer.data()};
    info.NotBefore = notBefore;
    info.NotAfter = notAfter;
    info.Subject = {(DWORD)subject.size(), (BYTE *)subject.data()};
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = (LPSTR) "1.2.643.2.2.19";
    info.SubjectPublicKeyInfo.Algorithm.Parameters = {sizeof keyParameters, keyParameters};
    info.SubjectPublicKeyInfo.PublicKey = {sizeof key, key, 0};
    std::string toBeSigned = Encoded(X509_CERT_TO_BE_SIGNED, &info);

    static BYTE signature[64] = {1};
    CERT_SIGNED_CONTENT_INFO signedInfo = {};
    signedInfo.ToBeSigned = {(DWORD)toBeSigned.size(), (BYTE *)toBeSigned.data()};
    signedInfo.SignatureAlgorithm.pszObjId = (LPSTR) "1.2.643.2.2.3";
    signedInfo.Signature = {sizeof signature, signature, 0};
    std::string der = Encoded(X509_CERT, &signedInfo);
    return CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der.data(), (DWORD)der.size());
}

FILETIME FromNow(LONGLONG seconds)
{
    ULARGE_INTEGER now;
    GetSystemTimeAsFileTime((FILETIME *)&now);
    now.QuadPart += seconds * 10000000;
    return {now.LowPart, now.HighPart};
}

// 1536 holders on slot 0, each certificate ending within the next two weeks
// (due whatever the day of the month) and none a later certificate of
// another's holder.
bool FillDueRecords(CertList &found)
{
    for (int i = 0; i < records; ++i) {
        PCCERT_CONTEXT context = HolderCertificate(i, FromNow(-300LL * 86400), FromNow(86400 + 600LL * i));
        unsigned char id[256] = {(unsigned char)i, (unsigned char)(i >> 8), 0x4b};
        if (!context) {
            printf("certificate %d: not made (%lu)\n", i, GetLastError());
            return false;
        }
        CertRecord record(context, 0, id, 3);
        CertFreeCertificateContext(context);
        if (!record.certContext || RenewalRefusal(record)) {
            printf("certificate %d: %ls\n", i, record.certContext ? RenewalRefusal(record) : L"not decoded");
            return false;
        }
        found.add(record);
    }
    return true;
}

const wchar_t remindersKey[] = L"Software\\Kestrava\\Reminders";

void TimeTheRule()
{
    HWND window = CreateWindowExW(0, L"STATIC", L"quiet check bench", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = TRAY_ICON_ID;
    bool iconShown = Shell_NotifyIconW(NIM_ADD, &icon) != FALSE;

    CertList found;
    if (!FillDueRecords(found)) {
        printf("quiet check, %d due records: the records could not be made\n", records);
        return;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    std::vector<double> times;
    bool balloon = false;
    for (int run = 0; run <= runs; ++run) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        bool shown = RemindOfDueCertificates(window, found, {});
        QueryPerformanceCounter(&end);
        if (run == 0) {
            balloon = shown;
            printf("quiet check, %d due records on one token: first check %.0f ms (%s)\n", records,
                   Milliseconds(start, end),
                   shown ? "the balloon shown, each record's day noted"
                         : (iconShown ? "no balloon" : "no balloon: no notification area"));
        } else {
            times.push_back(Milliseconds(start, end));
        }
    }
    std::sort(times.begin(), times.end());
    printf("quiet check, %d due records on one token: each later check %.0f ms (median of %d, best %.0f ms)%s\n",
           records, times[runs / 2], runs, times.front(), balloon ? ", all reminded of today" : "");
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    Shell_NotifyIconW(NIM_DELETE, &icon);
    DestroyWindow(window);
}

SIZE_T PrivateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&counters, sizeof counters))
        return 0;
    // Wine leaves PrivateUsage at 0 and gives the commit charge as PagefileUsage.
    return std::max(counters.PrivateUsage, counters.PagefileUsage);
}

// A token full of due certificates, each of its own holder.
bool MakeDueToken(const std::string &work)
{
    if (RunSoftToken({"init", "0", "--label", "JaCarta GOST"}) != 0)
        return false;
    std::string der = work + "/holder.der";
    for (int i = 0; i < tokenCertificates; ++i) {
        PCCERT_CONTEXT context = HolderCertificate(i, FromNow(-300LL * 86400), FromNow(86400 + 600LL * i));
        bool written = context && WriteFileBytes(der, std::string((const char *)context->pbCertEncoded,
                                                                  context->cbCertEncoded));
        CertFreeCertificateContext(context);
        char id[16];
        snprintf(id, sizeof id, "4b%04x", i);
        if (!written || RunSoftToken({"import-cert", "0", "--id", id, "--label", "holder", "--file", der}) != 0)
            return false;
    }
    return true;
}

// Asks the running copy for a whole check, as its six-hourly timer does,
// and waits until the check has closed the token's sessions.
bool OneCheck(HWND mainWindow, const std::string &journal, size_t &closes)
{
    PostMessageW(mainWindow, WM_TIMER, 4, 0);
    for (int waited = 0; waited < 60000; waited += 50) {
        size_t now = JournalCalls(journal, "C_CloseAllSessions").size();
        if (now > closes) {
            closes = now;
            return true;
        }
        Sleep(50);
    }
    return false;
}

void MeasureTrayCopy()
{
    std::string work = FreshWorkDir("quiet_check_bench");
    TokenStore store = UseFreshTokenStore(work);
    if (!MakeDueToken(work)) {
        printf("a /tray copy over %d checks: the token could not be made\n", checks);
        return;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    RunningProgram program = StartProgram(
        L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(store.dir)}, {L"SOFTTOKEN_JOURNAL", WindowsPath(store.journal)}},
        L"/tray");
    HWND mainWindow = nullptr;
    for (int waited = 0; !mainWindow && waited < 20000; waited += 100) {
        std::vector<HWND> windows = TopLevelWindows(program.processId, L"ZR51_KESTRAVA");
        if (!windows.empty())
            mainWindow = windows.front();
        else
            Sleep(100);
    }
    size_t closes = 0;
    std::vector<SIZE_T> sizes;
    for (int check = 0; mainWindow && check < checks; ++check) {
        if (!OneCheck(mainWindow, store.journal, closes))
            break;
        // The findings reach the main window after the sessions close.
        Sleep(300);
        sizes.push_back(PrivateBytes(program.process));
        // The journal would grow for ever: the check only counts its closes.
        WriteFileBytes(store.journal, "");
        closes = 0;
    }
    KillProgram(program);
    RegDeleteTreeW(HKEY_CURRENT_USER, remindersKey);
    if (sizes.size() < (size_t)checks) {
        printf("a /tray copy over %d checks: only %u checks ran\n", checks, (unsigned)sizes.size());
        return;
    }
    SIZE_T least = *std::min_element(sizes.begin() + 1, sizes.end());
    SIZE_T most = *std::max_element(sizes.begin() + 1, sizes.end());
    printf("a /tray copy over %d checks of %d due certificates: private memory %.1f MB after the first, "
           "%.1f MB after the last, %.2f MB between least and most from the second on\n",
           checks, tokenCertificates, sizes.front() / 1048576.0, sizes.back() / 1048576.0,
           (most - least) / 1048576.0);
}

}  // namespace

int main()
{
    TimeTheRule();
    MeasureTrayCopy();
    return 0;
}
