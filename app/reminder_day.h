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

// The record opened for a check's questions (RegCloseKey); null when there is
// none yet.
HKEY OpenReminders();
// Whether name was reminded of on day; a value the program cannot read
// counts as no reminder.
bool RemindedOn(HKEY reminders, const std::wstring &name, DWORD day);
// Notes the names as reminded of on day, the day of the check that showed
// the balloon; the days before it go. The running copy remembers them also
// when the registry cannot be written.
void NoteRemindedOn(const std::vector<std::wstring> &names, DWORD day);

// The names a reminder is kept under: a certificate's serial number and
// issuer, an unfinished renewal's token serial number and identifier.
std::wstring CertificateValueName(const CertRecord &record);
std::wstring PairValueName(const UnfinishedRenewal &pair);
