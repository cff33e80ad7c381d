// When a certificate may be renewed.
#include "ui/expiry_rule.h"

int MonthsBetween(const SYSTEMTIME &later, const SYSTEMTIME &earlier)
{
    return 12 * (later.wYear - earlier.wYear) + (later.wMonth - earlier.wMonth);
}

bool RenewalIsDue(const SYSTEMTIME &validToLocal, const SYSTEMTIME &today)
{
    return MonthsBetween(validToLocal, today) < 2;
}
