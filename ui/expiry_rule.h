// When a certificate may be renewed: only its expiry's year and month count.
#pragma once

#include <windows.h>

// 12 x (later year - earlier year) + (later month - earlier month).
int MonthsBetween(const SYSTEMTIME &later, const SYSTEMTIME &earlier);

// True when a certificate that ends at validToLocal may be renewed on today
// (both local time): it ends this calendar month, the next one, or has ended.
bool RenewalIsDue(const SYSTEMTIME &validToLocal, const SYSTEMTIME &today);
