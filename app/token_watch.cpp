// The token watch: a token is looked at once it answers, and again only
// while its certificates could not be read, at waits that double so that a
// token that never reads does not keep the library busy.
#include "app/token_watch.h"

#include <cstring>

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
