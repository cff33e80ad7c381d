// The reminder beside the main window, which owns the notification-area
// icon: the timers that start the check, the check itself on a thread of its
// own (token work that gives way, token/token_work), the balloon and its
// click. The day of each reminder is kept under HKCU so that a holder hears
// of a certificate at most once a day, also across restarts.
#include "app/reminder.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "cert/cert_record.h"
#include "renewal/certificate_writing.h"
#include "token/key_objects.h"
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
wchar_t remindedName[1024];
// A quiet start watches the slot list once its first check has run.
bool watching = false;
// A device change has brought the next look forward: the rest of its burst
// does not put it off again.
bool deviceLookDue = false;

// The tokens looked at since they were attached. Only check threads touch
// it, and they run one after another.
std::vector<WatchedToken> watchedTokens;

// The findings the check posted last and the main window has not taken:
// another process can post WM_TOKEN_CHECK_DONE with any value, and only
// these are ever read.
PVOID volatile postedFindings = nullptr;

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

// The reminders' key for reading (RegCloseKey); null when there is none.
HKEY OpenReminders()
{
    HKEY key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, remindersKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS ? key : nullptr;
}

// The names this copy knows to have been reminded of on knownDay: a check
// of many certificates then asks the registry once a day for each, not at
// every check.
DWORD knownDay = 0;
std::set<std::wstring> knownReminded;

// A value the program cannot read counts as no reminder.
bool RemindedToday(HKEY reminders, const std::wstring &name, DWORD today)
{
    if (knownDay != today) {
        knownDay = today;
        knownReminded.clear();
    }
    if (knownReminded.count(name))
        return true;
    DWORD type = 0, day = 0, size = sizeof day;
    bool reminded = reminders &&
                    RegQueryValueExW(reminders, name.c_str(), nullptr, &type, (BYTE *)&day, &size) == ERROR_SUCCESS &&
                    type == REG_DWORD && size == sizeof day && day == today;
    if (reminded)
        knownReminded.insert(name);
    return reminded;
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
        if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&today, sizeof today) == ERROR_SUCCESS &&
            knownDay == today)
            knownReminded.insert(name);
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

// The first unfinished renewal among pairs not reminded of today gets the
// balloon; false when none does.
bool RemindOfUnfinishedRenewal(HWND mainWindow, const std::vector<const UnfinishedRenewal *> &pairs)
{
    HKEY reminders = OpenReminders();
    DWORD today = Today();
    for (const UnfinishedRenewal *pair : pairs) {
        std::wstring name = PairValueName(*pair);
        if (RemindedToday(reminders, name, today))
            continue;
        if (reminders)
            RegCloseKey(reminders);
        wchar_t text[BALLOON_TEXT_ROOM];
        UnfinishedRenewalText(pair->tokenLabel, text);
        if (!ShowBalloon(mainWindow, unfinishedTitle, text))
            return false;
        NoteRemindedToday({name});
        lastBalloon = BalloonUnfinished;
        return true;
    }
    if (reminders)
        RegCloseKey(reminders);
    return false;
}

// The tokens attached now, each read or not; empty when the check stops.
std::vector<AttachedToken> LookAtTokens()
{
    std::vector<AttachedToken> attached;
    CK_ULONG slotsCount = 0;
    if (TokenCheckStopping() || C_GetSlotList(CK_TRUE, nullptr, &slotsCount) != CKR_OK || TokenCheckStopping())
        return attached;
    CK_SLOT_ID *slots = ReadSlotList(slotsCount);
    for (CK_ULONG i = 0; i < slotsCount && !TokenCheckStopping(); ++i) {
        AttachedToken token = {slots[i], false, ""};
        CK_TOKEN_INFO tokenInfo;
        if (C_GetTokenInfo(slots[i], &tokenInfo) == CKR_OK) {
            token.answered = true;
            memcpy(token.serial, tokenInfo.serialNumber, sizeof tokenInfo.serialNumber);
            token.serial[sizeof tokenInfo.serialNumber] = 0;
        }
        attached.push_back(token);
    }
    delete[] slots;
    return attached;
}

DWORD WINAPI TokenCheckThread(LPVOID parameter)
{
    CheckOrder order = *(CheckOrder *)parameter;
    delete (CheckOrder *)parameter;
    ULONGLONG lookMs = GetTickCount64();
    std::vector<AttachedToken> attached = LookAtTokens();
    bool toLookAt = TokensToLookAt(watchedTokens, attached, lookMs);
    CheckFindings *findings = nullptr;
    std::vector<TokenInSlot> read;
    if ((order.whole || toLookAt) && !TokenCheckStopping()) {
        findings = new CheckFindings;
        findings->unfinishedCount = SearchTokensQuietly(findings->found, findings->unfinished, read);
        // A token counts as looked at once its certificates were read: one
        // still settling, or busy with another program, is looked at again.
        if (!TokenCheckStopping())
            NoteTokensLookedAt(watchedTokens, attached, read, lookMs);
    }
    bool stopped = TokenCheckStopping();
    TokenCheckEnd();
    // A token error ends the check in silence; a stopped one says nothing.
    if (!findings)
        return 0;
    if (stopped) {
        delete findings;
        return 0;
    }
    // Findings posted before and never taken are dropped: their message is
    // ignored now.
    delete (CheckFindings *)InterlockedExchangePointer(&postedFindings, findings);
    if (!PostMessageW(order.mainWindow, WM_TOKEN_CHECK_DONE, 0, (LPARAM)findings) &&
        InterlockedCompareExchangePointer(&postedFindings, nullptr, findings) == findings)
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

bool RemindOfDueCertificates(HWND mainWindow, CertList &found, const std::vector<CK_SLOT_ID> &pairSlots)
{
    SYSTEMTIME today, nowUtc;
    GetLocalTime(&today);
    GetSystemTime(&nowUtc);
    std::vector<bool> stillDue = StillDueForReminder(found, pairSlots, today, nowUtc);
    std::vector<int> due;
    std::vector<std::wstring> names;
    // The same certificate on two tokens is one reminder: it is kept under
    // one name.
    std::set<std::wstring> named;
    HKEY reminders = OpenReminders();
    DWORD day = DayNumber(today);
    for (int i = 0; i < found.count(); ++i) {
        if (!stillDue[i])
            continue;
        std::wstring name = CertificateValueName(found.at(i));
        if (!named.insert(name).second || RemindedToday(reminders, name, day))
            continue;
        due.push_back(i);
        names.push_back(name);
    }
    if (reminders)
        RegCloseKey(reminders);
    if (due.empty())
        return false;
    int first = due.front();
    for (int i : due)
        if (FileTimeOf(found.at(i).validToUtc) < FileTimeOf(found.at(first).validToUtc))
            first = i;
    const CertRecord &record = found.at(first);
    wchar_t text[BALLOON_TEXT_ROOM];
    DueCertificateText(record.subjectName, record.validToLocal, FileTimeOf(record.validToUtc) <= FileTimeOf(nowUtc),
                       (int)due.size() - 1, text);
    if (!ShowBalloon(mainWindow, dueTitle, text))
        return false;
    NoteRemindedToday(names);
    if (remindedCertificate)
        CertFreeCertificateContext(remindedCertificate);
    remindedCertificate = CertDuplicateCertificateContext(record.certContext);
    lstrcpynW(remindedName, record.subjectName, 1024);
    lastBalloon = BalloonCertificate;
    return true;
}

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

static bool SameToken(const WatchedToken &watched, CK_SLOT_ID slot, const char *serial)
{
    return watched.slot == slot && strcmp(watched.serial, serial) == 0;
}

bool TokensToLookAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached, ULONGLONG nowMs)
{
    std::vector<WatchedToken> still;
    bool toLookAt = false;
    for (const AttachedToken &token : attached) {
        if (!token.answered)
            continue;
        bool known = false;
        for (const WatchedToken &before : watched) {
            if (!SameToken(before, token.slot, token.serial))
                continue;
            known = true;
            still.push_back(before);
            // The watch ticks at about the first wait: half of it is slack,
            // so that a tick a moment early does not put the look off.
            toLookAt = toLookAt || (!before.read && nowMs + UNREAD_TOKEN_FIRST_WAIT_MS / 2 >= before.nextLookMs);
        }
        toLookAt = toLookAt || !known;
    }
    watched.swap(still);
    return toLookAt;
}

void NoteTokensLookedAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached,
                        const std::vector<TokenInSlot> &read, ULONGLONG lookMs)
{
    for (const AttachedToken &token : attached) {
        if (!token.answered)
            continue;
        bool wasRead = false;
        for (const TokenInSlot &done : read)
            wasRead = wasRead || (done.slot == token.slot && strcmp(done.serial, token.serial) == 0);
        WatchedToken *entry = nullptr;
        for (WatchedToken &before : watched)
            if (SameToken(before, token.slot, token.serial))
                entry = &before;
        if (!entry) {
            watched.push_back(WatchedToken{token.slot, "", false, 0, 0});
            entry = &watched.back();
            memcpy(entry->serial, token.serial, sizeof entry->serial);
        }
        entry->read = wasRead;
        if (wasRead) {
            entry->failedLooks = 0;
            continue;
        }
        ULONGLONG wait = UNREAD_TOKEN_FIRST_WAIT_MS;
        for (int i = 0; i < entry->failedLooks && wait < UNREAD_TOKEN_LONGEST_WAIT_MS; ++i)
            wait *= 2;
        entry->failedLooks++;
        entry->nextLookMs = lookMs + (wait < UNREAD_TOKEN_LONGEST_WAIT_MS ? wait : UNREAD_TOKEN_LONGEST_WAIT_MS);
    }
}

bool UnfinishedRenewalReminded(const UnfinishedRenewal &pair, const SYSTEMTIME &nowLocal)
{
    SYSTEMTIME start;
    return RenewalCKAIDTime(pair.id, pair.idLength, &start) && WithinReminderDays(start, nowLocal);
}

// The identifier names the local time of the renewal's start.
bool UnfinishedRenewalRemindedNow(const UnfinishedRenewal &pair)
{
    SYSTEMTIME nowLocal;
    GetLocalTime(&nowLocal);
    return UnfinishedRenewalReminded(pair, nowLocal);
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
        deviceLookDue = false;
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

// A burst of device changes (a token brings several) is looked at once, no
// later than DEVICE_SETTLE_MS after its first message.
void TokensMayHaveChanged(HWND mainWindow)
{
    if (!watching || deviceLookDue)
        return;
    deviceLookDue = true;
    SetTimer(mainWindow, TOKEN_WATCH_TIMER, DEVICE_SETTLE_MS, nullptr);
}

void TokenCheckDone(HWND mainWindow, LPARAM parameter)
{
    if (!parameter)
        return;
    CheckFindings *findings =
        (CheckFindings *)InterlockedCompareExchangePointer(&postedFindings, nullptr, (PVOID)parameter);
    if (findings != (CheckFindings *)parameter)
        return;
    std::vector<const UnfinishedRenewal *> pairs;
    std::vector<CK_SLOT_ID> pairSlots;
    for (int i = 0; i < findings->unfinishedCount; ++i) {
        if (!UnfinishedRenewalRemindedNow(findings->unfinished[i]))
            continue;
        pairs.push_back(&findings->unfinished[i]);
        pairSlots.push_back(findings->unfinished[i].slot);
    }
    // An unfinished renewal comes first, and the due certificates of its
    // token wait while it is reminded of: renewing one of them again would
    // be paid twice, while the centre may have issued the certificate the
    // pair waits for. The other reminder waits for the next check.
    if (!RemindOfUnfinishedRenewal(mainWindow, pairs))
        RemindOfDueCertificates(mainWindow, findings->found, pairSlots);
    delete findings;
}

void ReminderClicked(HWND mainWindow)
{
    if (lastBalloon == BalloonCertificate) {
        // A check that ends meanwhile may name another certificate.
        PCCERT_CONTEXT wanted = CertDuplicateCertificateContext(remindedCertificate);
        wchar_t name[1024];
        lstrcpynW(name, remindedName, 1024);
        ShowRenewalDialogFor(mainWindow, wanted, name);
        CertFreeCertificateContext(wanted);
    } else if (lastBalloon == BalloonUnfinished) {
        WriteCertificateFromFile(mainWindow);
    }
}
