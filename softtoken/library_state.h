// State shared by the library's entry points: the one lock, the sessions, the
// login state, the call counts that faults are measured against, and the
// helpers that every entry point runs through (fault check, slot loading).
#pragma once

#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS
#endif
#include "token/token_library.h"

#include "softtoken/journal.h"
#include "softtoken/store.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t nextFound = 0;
};

struct LibraryState {
    std::mutex lock;
    bool initialized = false;
    bool faultsEnabled = true;
    std::string dir;
    // Calls made in this process since C_Initialize (C_Initialize's own
    // count since the process started), by function, and by slot and function.
    std::map<std::string, CK_ULONG> libraryCalls;
    std::map<std::pair<CK_SLOT_ID, std::string>, CK_ULONG> slotCalls;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    std::set<CK_SLOT_ID> loggedIn;
};

extern LibraryState library;

// Functions that are not tied to a slot; their faults live in library.json.
bool IsLibraryFunction(const std::string &function);

// Functions that run on a slot or its sessions; their faults live in the
// slot's file.
bool IsSlotFunction(const std::string &function);

// Counts a library-wide call and gives its forced result (CKR_OK for none).
CK_RV LibraryCall(const char *function);

// Loads the slot and counts a call on it; gives CKR_SLOT_ID_INVALID for a
// slot without a file, otherwise the forced result (CKR_OK for none). The
// state is loaded in both cases when the file exists.
CK_RV SlotCall(CK_SLOT_ID slot, const char *function, SlotState &state);

// Finds the session, loads its slot and counts the call: the session's
// errors (invalid handle, token gone) or the forced result.
CK_RV SessionCall(CK_SESSION_HANDLE handle, const char *function, Session *&session, SlotState &state);

// The frame of a call on a session: takes the lock, starts the journal line
// with session=, checks initialisation, finds the session, loads its slot and
// applies the forced result. The call goes on only while rv is CKR_OK;
// Finish writes the journal line and runs the presence triggers.
struct SessionEntry {
    SessionEntry(const char *function, CK_SESSION_HANDLE handle);
    CK_RV Finish() { return Finish(rv); }
    CK_RV Finish(CK_RV result);

    std::lock_guard<std::mutex> guard;
    const char *function;
    JournalLine line;
    CK_RV rv = CKR_OK;
    Session *session = nullptr;
    SlotState state;
    bool slotKnown = false;
    CK_SLOT_ID slot = 0;
};

// The exit code of a process that a kill-after fault ended.
const unsigned KILLED_EXIT_CODE = 137;

// Runs the triggers (remove-after, appear-after, kill-after) that the call
// just made has reached. slot is null for a library-wide call.
void AfterCall(const char *function, const CK_SLOT_ID *slot);

// Saves a slot's state; false when the store could not be written.
bool StoreSlot(const SlotState &state);

// Drops the sessions and the login of a slot whose token is gone.
void ForgetSlot(CK_SLOT_ID slot);

// Copies text into a blank-padded fixed field, as PKCS#11 strings are.
void PadCopy(unsigned char *field, size_t size, const std::string &text);

// The tool runs the library's code in its own process without faults.
void SetFaultsEnabled(bool enabled);
