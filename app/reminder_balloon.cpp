// The reminder's balloons: the texts, the balloon shown on the main window's
// icon, and its click, which leads to the command that helps (the renewal
// dialog for the certificate it named, or writing a certificate from a file).
#include "app/reminder_balloon.h"

#include <shellapi.h>

#include <cwchar>
#include <set>
#include <string>

#include "app/main_window.h"
#include "app/reminder.h"
#include "app/reminder_day.h"
#include "renewal/certificate_writing.h"
#include "token/key_objects.h"
#include "ui/renewal_dialog.h"

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

enum BalloonKind { BalloonNone, BalloonCertificate, BalloonUnfinished };

// What the last balloon named, for its click.
BalloonKind lastBalloon = BalloonNone;
PCCERT_CONTEXT remindedCertificate = nullptr;
wchar_t remindedName[1024];

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

// False when the icon is gone (the shell not up yet, or restarted).
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

namespace {

// The first unfinished renewal among pairs not reminded of on day gets the
// balloon.
Reminded RemindOfUnfinishedRenewal(HWND mainWindow, const std::vector<const UnfinishedRenewal *> &pairs, DWORD day)
{
    HKEY reminders = OpenReminders();
    const UnfinishedRenewal *first = nullptr;
    for (size_t i = 0; i < pairs.size() && !first; ++i)
        if (!RemindedOn(reminders, PairValueName(*pairs[i]), day))
            first = pairs[i];
    if (reminders)
        RegCloseKey(reminders);
    if (!first)
        return NothingToRemind;
    wchar_t text[BALLOON_TEXT_ROOM];
    UnfinishedRenewalText(first->tokenLabel, text);
    if (!ShowBalloon(mainWindow, unfinishedTitle, text))
        return BalloonNotShown;
    NoteRemindedOn({PairValueName(*first)}, day);
    lastBalloon = BalloonUnfinished;
    return BalloonShown;
}

// One moment for the whole of a check's reminder: the day its balloon is
// shown is the day noted.
Reminded RemindOfDueCertificatesAt(HWND mainWindow, CertList &found, const std::vector<PairHolder> &pairs,
                                   const SYSTEMTIME &nowLocal, const SYSTEMTIME &nowUtc)
{
    std::vector<bool> stillDue = StillDueForReminder(found, pairs, nowLocal, nowUtc);
    std::vector<int> due;
    std::vector<std::wstring> names;
    // The same certificate on two tokens is one reminder: it is kept under
    // one name.
    std::set<std::wstring> named;
    HKEY reminders = OpenReminders();
    DWORD day = DayNumber(nowLocal);
    for (int i = 0; i < found.count(); ++i) {
        if (!stillDue[i])
            continue;
        std::wstring name = CertificateValueName(found.at(i));
        if (!named.insert(name).second || RemindedOn(reminders, name, day))
            continue;
        due.push_back(i);
        names.push_back(name);
    }
    if (reminders)
        RegCloseKey(reminders);
    if (due.empty())
        return NothingToRemind;
    int first = due.front();
    for (int i : due)
        if (FileTimeOf(found.at(i).validToUtc) < FileTimeOf(found.at(first).validToUtc))
            first = i;
    const CertRecord &record = found.at(first);
    wchar_t text[BALLOON_TEXT_ROOM];
    DueCertificateText(record.subjectName, record.validToLocal, FileTimeOf(record.validToUtc) <= FileTimeOf(nowUtc),
                       (int)due.size() - 1, text);
    if (!ShowBalloon(mainWindow, dueTitle, text))
        return BalloonNotShown;
    NoteRemindedOn(names, day);
    if (remindedCertificate)
        CertFreeCertificateContext(remindedCertificate);
    remindedCertificate = CertDuplicateCertificateContext(record.certContext);
    lstrcpynW(remindedName, record.subjectName, 1024);
    lastBalloon = BalloonCertificate;
    return BalloonShown;
}

}  // namespace

bool RemindOfDueCertificates(HWND mainWindow, CertList &found, const std::vector<PairHolder> &pairs)
{
    SYSTEMTIME nowLocal, nowUtc;
    CheckMoment(nowLocal, nowUtc);
    return RemindOfDueCertificatesAt(mainWindow, found, pairs, nowLocal, nowUtc) == BalloonShown;
}

Reminded RemindOfFindings(HWND mainWindow, CertList &found, const UnfinishedRenewal *unfinished, int unfinishedCount)
{
    SYSTEMTIME nowLocal, nowUtc;
    CheckMoment(nowLocal, nowUtc);
    std::vector<const UnfinishedRenewal *> pairs;
    std::vector<PairHolder> pairHolders;
    for (int i = 0; i < unfinishedCount; ++i) {
        const UnfinishedRenewal &pair = unfinished[i];
        if (!UnfinishedRenewalReminded(pair, nowLocal))
            continue;
        pairs.push_back(&pair);
        pairHolders.push_back({pair.slot, RenewalCKAIDInn(pair.id, pair.idLength)});
    }
    // An unfinished renewal comes first, and its holder's due certificates
    // on its token wait while it is reminded of: renewing one of them again
    // would be paid twice, while the centre may have issued the certificate
    // the pair waits for. The other reminder waits for the next check.
    Reminded reminded = RemindOfUnfinishedRenewal(mainWindow, pairs, DayNumber(nowLocal));
    if (reminded != NothingToRemind)
        return reminded;
    return RemindOfDueCertificatesAt(mainWindow, found, pairHolders, nowLocal, nowUtc);
}

bool UnfinishedRenewalReminded(const UnfinishedRenewal &pair, const SYSTEMTIME &nowLocal)
{
    SYSTEMTIME start;
    return RenewalCKAIDTime(pair.id, pair.idLength, &start) && WithinReminderDays(start, nowLocal);
}

// An unfinished renewal's identifier names the local time of its start.
void CheckMoment(SYSTEMTIME &nowLocal, SYSTEMTIME &nowUtc)
{
    GetSystemTime(&nowUtc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &nowUtc, &nowLocal))
        nowLocal = nowUtc;
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
