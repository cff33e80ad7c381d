// The reminder beside the main window, which owns the notification-area
// icon: the timers that start the check, the check itself on a thread of its
// own (token work that gives way, token/token_work), the balloon and its
// click. The day of each reminder is kept under HKCU so that a holder hears
// of a certificate at most once a day, also across restarts.
#include "app/reminder.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "cert/cert_record.h"
#include "renewal/certificate_writing.h"
#include "token/search.h"
#include "token/token_library.h"
#include "token/token_work.h"
#include "ui/renewal_dialog.h"

unsigned int reminderFirstCheckMs = REMINDER_FIRST_CHECK_MS;
unsigned int tokenWatchMs = TOKEN_WATCH_MS;
unsigned int reminderPeriodMs = REMINDER_PERIOD_MS;

namespace {

const wchar_t dueTitle[] = L"Пора продлить сертификат";
const wchar_t dueBefore[] = L"Сертификат «";
const wchar_t dueAfter[] = L"» действует до %02d.%02d.%04d.";
const wchar_t endedBefore[] = L"Срок действия сертификата «";
const wchar_t endedAfter[] = L"» истёк %02d.%02d.%04d.";
const wchar_t clickLine[] = L"\nНажмите здесь, чтобы продлить его.";
const wchar_t othersLine[] = L"\nЕщё сертификатов к продлению: %d.";
const wchar_t unfinishedTitle[] = L"Продление не завершено";
const wchar_t unfinishedBefore[] = L"На носителе «";
const wchar_t unfinishedAfter[] =
    L"» есть новая ключевая пара без сертификата.\n"
    L"Если удостоверяющий центр выпустил сертификат, запишите его командой "
    L"«Записать сертификат из файла» в меню программы.";
const wchar_t ellipsis[] = L"…";

const wchar_t remindersKey[] = L"Software\\Kestrava\\Reminders";

// The main window's timers (SHUTDOWN_BLOCK_TIMER is 1).
UINT_PTR const FIRST_CHECK_TIMER = 2;
UINT_PTR const TOKEN_WATCH_TIMER = 3;
UINT_PTR const PERIOD_TIMER = 4;
UINT_PTR const RETRY_TIMER = 5;
// A check that other token work kept from starting is tried again so soon.
UINT const CHECK_RETRY_MS = 10 * 1000;
// After a device change the slot list is looked at this soon.
UINT const DEVICE_SETTLE_MS = 2000;

// What the check found, handed from its thread to the main window.
struct CheckFindings {
    CertList found;
    UnfinishedRenewal unfinished[maxUnfinishedRenewals];
    int unfinishedCount;
};

struct CheckOrder {
    HWND mainWindow;
    // A whole check; otherwise only a look for tokens attached since the last.
    bool whole;
};

enum BalloonKind { BalloonNone, BalloonCertificate, BalloonUnfinished };

// What the last balloon named, for its click.
BalloonKind lastBalloon = BalloonNone;
PCCERT_CONTEXT remindedCertificate = nullptr;
// A quiet start watches the slot list once its first check has run.
bool watching = false;

// The slots with a token at the last look. Only check threads touch it, and
// they run one after another.
std::vector<CK_SLOT_ID> knownSlots;

// Puts before + name + after into text; a name that would not fit is cut
// and ends with "…", the rest is never cut.
void FitName(const wchar_t *before, const wchar_t *name, const wchar_t *after, wchar_t text[BALLOON_TEXT_ROOM])
{
    size_t room = BALLOON_TEXT_ROOM - 1 - wcslen(before) - wcslen(after);
    size_t length = wcslen(name);
    wcscpy(text, before);
    if (length <= room) {
        wcscat(text, name);
    } else {
        size_t keep = room - 1;
        // A character outside the basic plane is not split in two.
        if (keep > 0 && IS_HIGH_SURROGATE(name[keep - 1]))
            --keep;
        wcsncat(text, name, keep);
        wcscat(text, ellipsis);
    }
    wcscat(text, after);
}

DWORD DayNumber(const SYSTEMTIME &day)
{
    return day.wYear * 10000u + day.wMonth * 100u + day.wDay;
}

DWORD Today()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return DayNumber(now);
}

// A value the program cannot read counts as no reminder.
bool RemindedToday(const wchar_t *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, remindersKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, day = 0, size = sizeof day;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, (BYTE *)&day, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof day && day == Today();
}

// Days past say nothing any more: their values go, so that the key keeps
// only today's.
void ForgetOtherDays(HKEY key, DWORD today)
{
    DWORD values = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(16384);
    for (DWORD i = values; i-- > 0;) {
        DWORD nameLength = (DWORD)name.size(), type = 0, day = 0, size = sizeof day;
        LONG result = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, (BYTE *)&day, &size);
        if (result == ERROR_SUCCESS && !(type == REG_DWORD && size == sizeof day && day == today))
            RegDeleteValueW(key, name.data());
    }
}

void NoteRemindedToday(const std::vector<std::wstring> &names)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, remindersKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    DWORD today = Today();
    ForgetOtherDays(key, today);
    for (const std::wstring &name : names)
        RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&today, sizeof today);
    RegCloseKey(key);
}

// A certificate's reminder is kept under its serial number and issuer.
std::wstring CertificateValueName(const CertRecord &record)
{
    wchar_t issuer[1024] = L"";
    CertNameToStrW(X509_ASN_ENCODING, &record.certContext->pCertInfo->Issuer, CERT_X500_NAME_STR, issuer, 1024);
    wchar_t serial[128];
    MultiByteToWideChar(CP_ACP, 0, record.serialHex, -1, serial, 128);
    serial[127] = 0;
    return std::wstring(L"certificate ") + serial + L" " + issuer;
}

// An unfinished renewal's under its token's serial number and the pair's
// identifier.
std::wstring PairValueName(const UnfinishedRenewal &pair)
{
    std::wstring name = L"pair ";
    for (const char *c = pair.tokenSerial; *c; ++c)
        name += (wchar_t)(unsigned char)*c;
    name += L" ";
    for (CK_ULONG i = 0; i < pair.idLength; ++i) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02x", pair.id[i]);
        name += hex;
    }
    return name;
}

// False when the icon is gone (the shell restarted): the reminder then
// waits for a later check.
bool ShowBalloon(HWND mainWindow, const wchar_t *title, const wchar_t *text)
{
    NOTIFYICONDATAW balloon = {};
    balloon.cbSize = sizeof balloon;
    balloon.hWnd = mainWindow;
    balloon.uID = TRAY_ICON_ID;
    balloon.uFlags = NIF_INFO;
    lstrcpynW(balloon.szInfo, text, BALLOON_TEXT_ROOM);
    lstrcpynW(balloon.szInfoTitle, title, 64);
    balloon.dwInfoFlags = NIIF_WARNING;
    return Shell_NotifyIconW(NIM_MODIFY, &balloon) != FALSE;
}

ULONGLONG FileTimeOf(const SYSTEMTIME &time)
{
    FILETIME file = {};
    SystemTimeToFileTime(&time, &file);
    return ((ULONGLONG)file.dwHighDateTime << 32) | file.dwLowDateTime;
}

// One balloon for the due certificates not yet reminded of today: it names
// the one that ends first and counts the others. False when there is none.
bool RemindOfDueCertificates(HWND mainWindow, CertList &found)
{
    SYSTEMTIME today, nowUtc;
    GetLocalTime(&today);
    GetSystemTime(&nowUtc);
    std::vector<int> due;
    std::vector<std::wstring> names;
    for (int i = 0; i < found.count(); ++i) {
        CertRecord record = found.get(i);
        if (!record.certContext || RenewalRefusal(record) || !RenewalIsDue(record.validToLocal, today))
            continue;
        std::wstring name = CertificateValueName(record);
        bool twice = false;
        for (int other : due)
            twice = twice || SameCertificate(found.get(other).certContext, record.certContext);
        if (twice || RemindedToday(name.c_str()))
            continue;
        due.push_back(i);
        names.push_back(name);
    }
    if (due.empty())
        return false;
    int first = due.front();
    for (int i : due)
        if (FileTimeOf(found.get(i).validToUtc) < FileTimeOf(found.get(first).validToUtc))
            first = i;
    CertRecord record = found.get(first);
    wchar_t text[BALLOON_TEXT_ROOM];
    DueCertificateText(record.subjectName, record.validToLocal, FileTimeOf(record.validToUtc) <= FileTimeOf(nowUtc),
                       (int)due.size() - 1, text);
    if (!ShowBalloon(mainWindow, dueTitle, text))
        return false;
    NoteRemindedToday(names);
    if (remindedCertificate)
        CertFreeCertificateContext(remindedCertificate);
    remindedCertificate = CertDuplicateCertificateContext(record.certContext);
    lastBalloon = BalloonCertificate;
    return true;
}

void RemindOfUnfinishedRenewal(HWND mainWindow, const UnfinishedRenewal *unfinished, int count)
{
    for (int i = 0; i < count; ++i) {
        std::wstring name = PairValueName(unfinished[i]);
        if (RemindedToday(name.c_str()))
            continue;
        wchar_t text[BALLOON_TEXT_ROOM];
        UnfinishedRenewalText(unfinished[i].tokenLabel, text);
        if (!ShowBalloon(mainWindow, unfinishedTitle, text))
            return;
        NoteRemindedToday({name});
        lastBalloon = BalloonUnfinished;
        return;
    }
}

// Notes the slots with a token now; true when one is new since the last
// look.
bool NoteAttachedTokens()
{
    CK_ULONG slotsCount = 0;
    if (TokenCheckStopping() || C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK || TokenCheckStopping())
        return false;
    CK_SLOT_ID *slots = ReadSlotList(slotsCount);
    bool attached = false;
    for (CK_ULONG i = 0; i < slotsCount; ++i) {
        bool known = false;
        for (CK_SLOT_ID slot : knownSlots)
            known = known || slot == slots[i];
        attached = attached || !known;
    }
    knownSlots.assign(slots, slots + slotsCount);
    delete[] slots;
    return attached;
}

DWORD WINAPI TokenCheckThread(LPVOID parameter)
{
    CheckOrder order = *(CheckOrder *)parameter;
    delete (CheckOrder *)parameter;
    bool attached = NoteAttachedTokens();
    CheckFindings *findings = nullptr;
    if ((order.whole || attached) && !TokenCheckStopping()) {
        findings = new CheckFindings;
        findings->unfinishedCount = SearchTokensQuietly(findings->found, findings->unfinished);
    }
    bool stopped = TokenCheckStopping();
    TokenCheckEnd();
    // A token error ends the check in silence; a stopped one says nothing.
    if (findings && (stopped || !PostMessageW(order.mainWindow, WM_TOKEN_CHECK_DONE, 0, (LPARAM)findings)))
        delete findings;
    return 0;
}

// Starts a check unless token work keeps it from starting: a whole check is
// then tried again soon, a look at the slot list waits for the next one.
void RunCheck(HWND mainWindow, bool whole)
{
    CheckOrder *order = new CheckOrder{mainWindow, whole};
    if (StartTokenCheck(TokenCheckThread, order))
        return;
    delete order;
    if (whole)
        SetTimer(mainWindow, RETRY_TIMER, CHECK_RETRY_MS, nullptr);
}

}  // namespace

void DueCertificateText(const wchar_t *name, const SYSTEMTIME &validToLocal, bool ended, int others,
                        wchar_t text[BALLOON_TEXT_ROOM])
{
    wchar_t after[BALLOON_TEXT_ROOM];
    int length = swprintf(after, BALLOON_TEXT_ROOM, ended ? endedAfter : dueAfter, (int)validToLocal.wDay,
                          (int)validToLocal.wMonth, (int)validToLocal.wYear);
    wcscpy(after + length, clickLine);
    length = (int)wcslen(after);
    if (others > 0)
        swprintf(after + length, BALLOON_TEXT_ROOM - length, othersLine, others);
    FitName(ended ? endedBefore : dueBefore, name, after, text);
}

void UnfinishedRenewalText(const wchar_t *tokenLabel, wchar_t text[BALLOON_TEXT_ROOM])
{
    FitName(unfinishedBefore, tokenLabel, unfinishedAfter, text);
}

void StartReminder(HWND mainWindow, bool quietStart)
{
    if (quietStart)
        SetTimer(mainWindow, FIRST_CHECK_TIMER, reminderFirstCheckMs, nullptr);
    SetTimer(mainWindow, PERIOD_TIMER, reminderPeriodMs, nullptr);
}

bool ReminderTimer(HWND mainWindow, UINT_PTR timer)
{
    switch (timer) {
    case FIRST_CHECK_TIMER:
        KillTimer(mainWindow, FIRST_CHECK_TIMER);
        RunCheck(mainWindow, true);
        watching = true;
        SetTimer(mainWindow, TOKEN_WATCH_TIMER, tokenWatchMs, nullptr);
        return true;
    case TOKEN_WATCH_TIMER:
        // Set again: a device change may have brought it forward.
        SetTimer(mainWindow, TOKEN_WATCH_TIMER, tokenWatchMs, nullptr);
        RunCheck(mainWindow, false);
        return true;
    case PERIOD_TIMER:
        RunCheck(mainWindow, true);
        return true;
    case RETRY_TIMER:
        KillTimer(mainWindow, RETRY_TIMER);
        RunCheck(mainWindow, true);
        return true;
    }
    return false;
}

void TokensMayHaveChanged(HWND mainWindow)
{
    if (watching)
        SetTimer(mainWindow, TOKEN_WATCH_TIMER, DEVICE_SETTLE_MS, nullptr);
}

void TokenCheckDone(HWND mainWindow, LPARAM parameter)
{
    CheckFindings *findings = (CheckFindings *)parameter;
    // A certificate comes first; the other reminder waits for the next check.
    if (!RemindOfDueCertificates(mainWindow, findings->found))
        RemindOfUnfinishedRenewal(mainWindow, findings->unfinished, findings->unfinishedCount);
    delete findings;
}

void ReminderClicked(HWND mainWindow)
{
    if (lastBalloon == BalloonCertificate) {
        // A check that ends meanwhile may name another certificate.
        PCCERT_CONTEXT wanted = CertDuplicateCertificateContext(remindedCertificate);
        ShowRenewalDialogFor(mainWindow, wanted);
        CertFreeCertificateContext(wanted);
    } else if (lastBalloon == BalloonUnfinished) {
        WriteCertificateFromFile(mainWindow);
    }
}
