// The reminder's token watch: which attached tokens a check should look at,
// and when a token that could not be read is looked at again.
#pragma once

#include <windows.h>

#include <vector>

#include "token/search.h"
#include "token/token_library.h"

// A token in a slot at one look of the check; answered when C_GetTokenInfo
// did, with its serial number then.
struct AttachedToken {
    CK_SLOT_ID slot;
    bool answered;
    char serial[17];
};

// A token the check has looked at since it was attached: read once its
// certificates were read, otherwise looked at again from nextLookMs on
// (GetTickCount64), after failedLooks looks that could not read it.
struct WatchedToken {
    CK_SLOT_ID slot;
    char serial[17];
    bool read;
    int failedLooks;
    ULONGLONG nextLookMs;
};

// A token that could not be read is looked at again this long after its
// first failed look, twice as long after each further one, at most the
// longest.
const ULONGLONG UNREAD_TOKEN_FIRST_WAIT_MS = 10 * 1000;
const ULONGLONG UNREAD_TOKEN_LONGEST_WAIT_MS = 30 * 60 * 1000;

// Forgets the watched tokens that are no longer attached (taken out, or
// another token in their slot) and says whether attached holds a token to
// look at at nowMs: one that answered and is not watched, or one not read
// whose next look has come.
bool TokensToLookAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached, ULONGLONG nowMs);
// After a look that started at lookMs: the attached tokens in read are read;
// every other one that answered is looked at again later, at doubling waits.
void NoteTokensLookedAt(std::vector<WatchedToken> &watched, const std::vector<AttachedToken> &attached,
                        const std::vector<TokenInSlot> &read, ULONGLONG lookMs);
