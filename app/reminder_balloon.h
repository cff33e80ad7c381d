// The reminder's balloons of the notification-area icon: their texts, which
// one a check's findings call for, and what a click on it opens.
#pragma once

#include <windows.h>

#include <vector>

#include "cert/cert_record.h"
#include "token/search.h"

// The balloon's room: 255 characters and the terminating zero.
int const BALLOON_TEXT_ROOM = 256;

// The balloon's text for a due certificate: name cut with "…" where the
// whole would not fit, never the date or the lines after it. others is the
// number of the other certificates due.
void DueCertificateText(const wchar_t *name, const SYSTEMTIME &validToLocal, bool ended, int others,
                        wchar_t text[BALLOON_TEXT_ROOM]);
// The balloon's text for a renewal left without its certificate.
void UnfinishedRenewalText(const wchar_t *tokenLabel, wchar_t text[BALLOON_TEXT_ROOM]);

// One balloon for the due certificates that found holds and that were not
// reminded of today: it names the one that ends first and counts the others.
// The unfinished renewals in pairs are reminded of instead of their holders'
// certificates. False when there is none. The main window's share of a check.
bool RemindOfDueCertificates(HWND mainWindow, CertList &found, const std::vector<PairHolder> &pairs);

// What a check's findings came to.
enum Reminded {
    NothingToRemind,
    BalloonShown,
    // The icon was missing (the shell not up yet, or restarted).
    BalloonNotShown,
};
// The balloon a check's findings call for, at one moment: an unfinished
// renewal still reminded of and not yet today comes first, else the due
// certificates.
Reminded RemindOfFindings(HWND mainWindow, CertList &found, const UnfinishedRenewal *unfinished, int unfinishedCount);

// Whether an unfinished renewal is still reminded of at nowLocal: during the
// 30 days after the local time its identifier names, the renewal's start.
bool UnfinishedRenewalReminded(const UnfinishedRenewal &pair, const SYSTEMTIME &nowLocal);
// A check's one read of the clock: the same moment in local time and UTC.
void CheckMoment(SYSTEMTIME &nowLocal, SYSTEMTIME &nowUtc);
