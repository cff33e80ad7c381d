// The check on its own thread: it looks at the slot list, searches the
// tokens when a whole check is due or the watch calls for it, and posts
// what it found to the main window. A token error ends it in silence.
#include "app/reminder_check.h"

#include <cstring>
#include <vector>

#include "app/reminder.h"
#include "app/token_watch.h"
#include "token/token_library.h"
#include "token/token_work.h"

namespace {

struct CheckOrder {
    HWND mainWindow;
    // A whole check; otherwise only a look for tokens attached since the last.
    bool whole;
};

// The tokens looked at since they were attached: the check threads ask it,
// the main window notes what their findings came to.
std::vector<WatchedToken> watchedTokens;
SRWLOCK watchLock = SRWLOCK_INIT;

// The findings the check posted last and the main window has not taken:
// another process can post WM_TOKEN_CHECK_DONE with any value, and only
// these are ever read.
PVOID volatile postedFindings = nullptr;

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
    AcquireSRWLockExclusive(&watchLock);
    bool toLookAt = TokensToLookAt(watchedTokens, attached, lookMs);
    ReleaseSRWLockExclusive(&watchLock);
    CheckFindings *findings = nullptr;
    if ((order.whole || toLookAt) && !TokenCheckStopping()) {
        findings = new CheckFindings;
        findings->unfinishedCount = SearchTokensQuietly(findings->found, findings->unfinished, findings->read);
        findings->attached = attached;
        findings->lookMs = lookMs;
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

}  // namespace

bool RunCheck(HWND mainWindow, bool whole)
{
    CheckOrder *order = new CheckOrder{mainWindow, whole};
    if (StartTokenCheck(TokenCheckThread, order))
        return true;
    delete order;
    return false;
}

CheckFindings *TakeCheckFindings(LPARAM parameter)
{
    if (!parameter)
        return nullptr;
    CheckFindings *findings =
        (CheckFindings *)InterlockedCompareExchangePointer(&postedFindings, nullptr, (PVOID)parameter);
    return findings == (CheckFindings *)parameter ? findings : nullptr;
}

// A token counts as looked at once its certificates were read and what they
// call for was shown: one still settling, busy with another program, or
// whose balloon found no icon, is looked at again.
void NoteFindingsShown(const CheckFindings &findings, bool shown)
{
    AcquireSRWLockExclusive(&watchLock);
    NoteTokensLookedAt(watchedTokens, findings.attached, shown ? findings.read : std::vector<TokenInSlot>(),
                       findings.lookMs);
    ReleaseSRWLockExclusive(&watchLock);
}
