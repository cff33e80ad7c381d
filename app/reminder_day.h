// The reminder's day record: the day each certificate and each unfinished
// renewal was last reminded of, kept under HKCU so that a holder hears of
// one at most once a day, also across restarts.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "cert/cert_record.h"
#include "token/search.h"

// The local day as one number, yyyymmdd.
DWORD DayNumber(const SYSTEMTIME &day);
// Today's by the local clock.
DWORD Today();

// The record opened for a check's questions (RegCloseKey); null when there is
// none yet.
HKEY OpenReminders();
// Whether name was reminded of on day; a value the program cannot read
// counts as no reminder.
bool RemindedToday(HKEY reminders, const std::wstring &name, DWORD today);
// Notes the names as reminded of today; the days past go.
void NoteRemindedToday(const std::vector<std::wstring> &names);

// The names a reminder is kept under: a certificate's serial number and
// issuer, an unfinished renewal's token serial number and identifier.
std::wstring CertificateValueName(const CertRecord &record);
std::wstring PairValueName(const UnfinishedRenewal &pair);
