// The library-wide entry points (initialisation, information, slots) and the
// helpers that all entry points share.
#include "softtoken/library_state.h"

#include <windows.h>

#include <cstring>

LibraryState library;

static const char *const libraryFunctions[] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetSlotList", "useHardwareHash", "freeBuffer",
};

static const char *const slotFunctions[] = {
    "C_GetSlotInfo",     "C_GetTokenInfo",     "C_OpenSession",       "C_CloseSession",  "C_CloseAllSessions",
    "C_Login",           "C_Logout",           "C_FindObjectsInit",   "C_FindObjects",   "C_FindObjectsFinal",
    "C_GetAttributeValue", "C_GenerateKeyPair", "C_CreateObject",     "C_DestroyObject", "createCSR",
    "pkcs7Sign",
};

bool IsLibraryFunction(const std::string &function)
{
    for (const char *name : libraryFunctions)
        if (function == name)
            return true;
    return false;
}

bool IsSlotFunction(const std::string &function)
{
    for (const char *name : slotFunctions)
        if (function == name)
            return true;
    return false;
}

void SetFaultsEnabled(bool enabled)
{
    library.faultsEnabled = enabled;
}

void PadCopy(unsigned char *field, size_t size, const std::string &text)
{
    memset(field, ' ', size);
    memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

static CK_RV ForcedResult(const std::vector<FunctionFault> &faults, const std::string &function, CK_ULONG callNumber)
{
    if (!library.faultsEnabled)
        return CKR_OK;
    for (auto &fault : faults)
        if (fault.function == function && callNumber > fault.after && (!fault.once || callNumber == fault.after + 1))
            return fault.rv;
    return CKR_OK;
}

CK_RV LibraryCall(const char *function)
{
    CK_ULONG number = ++library.libraryCalls[function];
    if (library.dir.empty())
        return CKR_OK;
    LibraryFaults faults;
    LoadLibraryFaults(library.dir, faults);
    return ForcedResult(faults.functions, function, number);
}

void ForgetSlot(CK_SLOT_ID slot)
{
    for (auto it = library.sessions.begin(); it != library.sessions.end();)
        it = it->second.slot == slot ? library.sessions.erase(it) : std::next(it);
    library.loggedIn.erase(slot);
}

CK_RV SlotCall(CK_SLOT_ID slot, const char *function, SlotState &state)
{
    if (library.dir.empty() || !LoadSlot(library.dir, slot, state))
        return CKR_SLOT_ID_INVALID;
    if (!state.present)
        ForgetSlot(slot);
    CK_ULONG number = ++library.slotCalls[{slot, function}];
    return ForcedResult(state.faults.functions, function, number);
}

CK_RV SessionCall(CK_SESSION_HANDLE handle, const char *function, Session *&session, SlotState &state)
{
    auto it = library.sessions.find(handle);
    if (it == library.sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    CK_SLOT_ID slot = it->second.slot;
    CK_RV rv = SlotCall(slot, function, state);
    if (rv == CKR_SLOT_ID_INVALID || !state.present) {
        // The token was taken away: its sessions are gone with it.
        ForgetSlot(slot);
        return CKR_DEVICE_REMOVED;
    }
    session = &library.sessions[handle];
    return rv;
}

SessionEntry::SessionEntry(const char *name, CK_SESSION_HANDLE handle)
    : guard(library.lock), function(name), line(name)
{
    line.Add("session", handle);
    if (!library.initialized) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
        return;
    }
    auto it = library.sessions.find(handle);
    if (it != library.sessions.end()) {
        slotKnown = true;
        slot = it->second.slot;
    }
    rv = SessionCall(handle, function, session, state);
}

CK_RV SessionEntry::Finish(CK_RV result)
{
    line.Write(result);
    if (slotKnown)
        AfterCall(function, &slot);
    return result;
}

bool StoreSlot(const SlotState &state)
{
    return SaveSlot(library.dir, state);
}

static bool TriggerReached(const PresenceTrigger &trigger, const char *function, const CK_SLOT_ID *slot,
                           CK_SLOT_ID triggerSlot)
{
    if (trigger.function != function)
        return false;
    CK_ULONG calls;
    if (IsLibraryFunction(function))
        calls = library.libraryCalls[function];
    else if (slot && *slot == triggerSlot)
        calls = library.slotCalls[{triggerSlot, function}];
    else
        return false;
    return calls >= trigger.count;
}

void AfterCall(const char *function, const CK_SLOT_ID *slot)
{
    if (!library.faultsEnabled || library.dir.empty())
        return;
    std::vector<CK_SLOT_ID> ids;
    if (slot)
        ids.push_back(*slot);
    else
        ids = ListSlotIds(library.dir);
    for (CK_SLOT_ID id : ids) {
        SlotState state;
        if (!LoadSlot(library.dir, id, state))
            continue;
        bool changed = false;
        if (TriggerReached(state.faults.removeAfter, function, slot, id)) {
            state.present = false;
            state.faults.removeAfter = PresenceTrigger();
            changed = true;
        }
        if (TriggerReached(state.faults.appearAfter, function, slot, id)) {
            state.present = true;
            state.faults.appearAfter = PresenceTrigger();
            changed = true;
        }
        bool kill = TriggerReached(state.faults.killAfter, function, slot, id);
        if (kill) {
            state.faults.killAfter = PresenceTrigger();
            changed = true;
        }
        // Sessions on a removed token end when a call next reaches it.
        if (changed)
            StoreSlot(state);
        // As a power cut would: the call is done and journalled, the caller
        // never sees it return, and nothing of the process runs any more.
        if (kill)
            TerminateProcess(GetCurrentProcess(), KILLED_EXIT_CODE);
    }
}

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR initArgs)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_Initialize");
    if (library.initialized)
        return line.Write(CKR_CRYPTOKI_ALREADY_INITIALIZED);
    if (initArgs) {
        auto *args = (CK_C_INITIALIZE_ARGS *)initArgs;
        if (args->pReserved)
            return line.Write(CKR_ARGUMENTS_BAD);
        // The library locks with the system's primitives only: mutex
        // functions of the caller's are all given or none, and may be left
        // unused only when the caller allows the system's.
#pragma push_macro("CreateMutex")
#undef CreateMutex
        int given = !!args->CreateMutex + !!args->DestroyMutex + !!args->LockMutex + !!args->UnlockMutex;
#pragma pop_macro("CreateMutex")
        if (given != 0 && given != 4)
            return line.Write(CKR_ARGUMENTS_BAD);
        if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK))
            return line.Write(CKR_CANT_LOCK);
    }
    library.dir = StoreDirFromEnvironment();
    CK_ULONG initializeCalls = library.libraryCalls["C_Initialize"];
    library.libraryCalls.clear();
    library.slotCalls.clear();
    library.libraryCalls["C_Initialize"] = initializeCalls;
    CK_RV rv = LibraryCall("C_Initialize");
    if (rv == CKR_OK) {
        library.initialized = true;
        library.sessions.clear();
        library.loggedIn.clear();
    }
    line.Write(rv);
    AfterCall("C_Initialize", nullptr);
    return rv;
}

CK_RV C_Finalize(CK_VOID_PTR reserved)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_Finalize");
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    if (reserved)
        return line.Write(CKR_ARGUMENTS_BAD);
    CK_RV rv = LibraryCall("C_Finalize");
    if (rv != CKR_OK)
        return line.Write(rv);
    library.initialized = false;
    library.sessions.clear();
    library.loggedIn.clear();
    return line.Write(CKR_OK);
}

CK_RV C_GetInfo(CK_INFO_PTR info)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_GetInfo");
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    if (!info)
        return line.Write(CKR_ARGUMENTS_BAD);
    CK_RV rv = LibraryCall("C_GetInfo");
    if (rv == CKR_OK) {
        memset(info, 0, sizeof *info);
        info->cryptokiVersion.major = 2;
        info->cryptokiVersion.minor = 30;
        PadCopy(info->manufacturerID, sizeof info->manufacturerID, "Kestrava stand-in token");
        PadCopy(info->libraryDescription, sizeof info->libraryDescription, "jcPKCS11 stand-in");
        info->libraryVersion.major = 1;
        info->libraryVersion.minor = 0;
    }
    line.Write(rv);
    AfterCall("C_GetInfo", nullptr);
    return rv;
}

CK_RV useHardwareHash(CK_ULONG flag)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("useHardwareHash");
    line.Add("flag", flag);
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_RV rv = LibraryCall("useHardwareHash");
    line.Write(rv);
    AfterCall("useHardwareHash", nullptr);
    return rv;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slotList, CK_ULONG_PTR count)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_GetSlotList");
    line.Add("tokenPresent", tokenPresent ? 1 : 0);
    if (slotList && count)
        line.Add("room", *count);
    else
        line.AddText("room", "none");
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    if (!count)
        return line.Write(CKR_ARGUMENTS_BAD);
    CK_RV rv = LibraryCall("C_GetSlotList");
    if (rv == CKR_OK) {
        std::vector<CK_SLOT_ID> slots;
        for (CK_SLOT_ID id : ListSlotIds(library.dir)) {
            SlotState state;
            if (LoadSlot(library.dir, id, state) && (state.present || !tokenPresent))
                slots.push_back(id);
        }
        if (slotList && *count < slots.size())
            rv = CKR_BUFFER_TOO_SMALL;
        else if (slotList)
            for (size_t i = 0; i < slots.size(); ++i)
                slotList[i] = slots[i];
        *count = slots.size();
        line.Add("count", *count);
    }
    line.Write(rv);
    AfterCall("C_GetSlotList", nullptr);
    return rv;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_GetSlotInfo");
    line.Add("slot", slot);
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    if (!info)
        return line.Write(CKR_ARGUMENTS_BAD);
    SlotState state;
    CK_RV rv = SlotCall(slot, "C_GetSlotInfo", state);
    if (rv == CKR_OK) {
        memset(info, 0, sizeof *info);
        PadCopy(info->slotDescription, sizeof info->slotDescription,
                "Kestrava stand-in reader " + std::to_string((unsigned long)slot));
        PadCopy(info->manufacturerID, sizeof info->manufacturerID, "Kestrava stand-in token");
        info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (state.present ? CKF_TOKEN_PRESENT : 0);
        info->hardwareVersion.major = 1;
        info->firmwareVersion.major = 1;
    }
    line.Write(rv);
    if (rv != CKR_SLOT_ID_INVALID)
        AfterCall("C_GetSlotInfo", &slot);
    return rv;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    std::lock_guard<std::mutex> guard(library.lock);
    JournalLine line("C_GetTokenInfo");
    line.Add("slot", slot);
    if (!library.initialized)
        return line.Write(CKR_CRYPTOKI_NOT_INITIALIZED);
    if (!info)
        return line.Write(CKR_ARGUMENTS_BAD);
    SlotState state;
    CK_RV rv = SlotCall(slot, "C_GetTokenInfo", state);
    if (rv == CKR_OK && !state.present)
        rv = CKR_TOKEN_NOT_PRESENT;
    else if (rv == CKR_OK && state.faults.tokenInfoFails && library.faultsEnabled)
        rv = CKR_DEVICE_ERROR;
    if (rv == CKR_OK) {
        memset(info, 0, sizeof *info);
        PadCopy(info->label, sizeof info->label, state.label);
        PadCopy(info->manufacturerID, sizeof info->manufacturerID, "Kestrava stand-in token");
        PadCopy(info->model, sizeof info->model, "JaCarta GOST");
        char serial[17];
        snprintf(serial, sizeof serial, "ST%014lu", (unsigned long)slot);
        PadCopy(info->serialNumber, sizeof info->serialNumber, state.serial.empty() ? serial : state.serial);
        info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
        if (state.triesLeft == 0)
            info->flags |= CKF_USER_PIN_LOCKED;
        else if (state.triesLeft == 1)
            info->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
        else if (state.triesLeft < state.maxTries)
            info->flags |= CKF_USER_PIN_COUNT_LOW;
        info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        CK_ULONG sessions = 0;
        for (auto &entry : library.sessions)
            if (entry.second.slot == slot)
                ++sessions;
        info->ulSessionCount = sessions;
        info->ulRwSessionCount = sessions;
        info->ulMaxPinLen = 32;
        info->ulMinPinLen = 1;
        info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        info->hardwareVersion.major = 1;
        info->firmwareVersion.major = 1;
    }
    line.Write(rv);
    if (rv != CKR_SLOT_ID_INVALID)
        AfterCall("C_GetTokenInfo", &slot);
    return rv;
}

}  // extern "C"
