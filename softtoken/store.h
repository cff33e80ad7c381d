// The stand-in token's state on disk: one JSON file per slot in the folder
// named by SOFTTOKEN_DIR, and library-wide faults in library.json beside them.
// Every write goes to a temporary file first and then replaces the old file in
// one step, so a process killed mid-write leaves the old state or the new one.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <string>
#include <vector>

// One object on a token; values are raw bytes.
struct StoredObject {
    CK_OBJECT_HANDLE handle = 0;
    std::map<CK_ATTRIBUTE_TYPE, std::string> attributes;

    bool Has(CK_ATTRIBUTE_TYPE type) const { return attributes.count(type) != 0; }
    std::string Get(CK_ATTRIBUTE_TYPE type) const;
    CK_ULONG GetUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG fallback) const;
    bool GetBool(CK_ATTRIBUTE_TYPE type, bool fallback) const;
};

// A forced result for one function: the first `after` calls run normally,
// every later call returns rv (only the next one when `once`).
struct FunctionFault {
    std::string function;
    CK_RV rv = 0;
    CK_ULONG after = 0;
    bool once = false;
};

// A change of presence (or the end of the process) triggered by the Nth call
// of a function.
struct PresenceTrigger {
    std::string function;  // empty: none
    CK_ULONG count = 0;
};

struct SlotFaults {
    std::vector<FunctionFault> functions;
    bool tokenInfoFails = false;
    PresenceTrigger removeAfter;
    PresenceTrigger appearAfter;
    PresenceTrigger killAfter;
    std::vector<CK_OBJECT_HANDLE> undestroyable;
    // A public key's CKA_VALUE is given as the DER OCTET STRING around the
    // 64 bytes, as some vendors' libraries give it.
    bool publicValueDer = false;
    // C_FindObjects hands out at most this many handles a call, however
    // many it is asked for, as some vendors' libraries do; 0: no limit.
    CK_ULONG findBatch = 0;
};

struct SlotState {
    CK_SLOT_ID id = 0;
    bool present = true;
    std::string label;
    std::string pin;
    // The token's serial number; empty gives one made from the slot number.
    std::string serial;
    CK_ULONG triesLeft = 10;
    CK_ULONG maxTries = 10;
    CK_OBJECT_HANDLE nextHandle = 1;
    std::vector<StoredObject> objects;  // in the order the token returns them
    SlotFaults faults;

    StoredObject *Find(CK_OBJECT_HANDLE handle);
};

struct LibraryFaults {
    std::vector<FunctionFault> functions;
};

// Paths are UTF-8 text; these helpers reach the wide Windows calls.
std::wstring Wide(const std::string &utf8);
std::string Utf8(const std::wstring &wide);
// An environment variable as UTF-8; empty when unset.
std::string EnvironmentText(const char *name);

// The store folder as a Windows path, from SOFTTOKEN_DIR (a path that starts
// with '/' is a Linux path and is reached through Wine's Z: drive). Empty when
// the variable is unset.
std::string StoreDirFromEnvironment();
std::string WindowsPathOf(const std::string &path);

std::string SlotFilePath(const std::string &dir, CK_SLOT_ID slot);

// Slot ids that have a readable file in the folder, ascending.
std::vector<CK_SLOT_ID> ListSlotIds(const std::string &dir);

// Loading keeps the parsed state of each file until the file changes; the
// callers serialise these calls (the library under its lock).
bool LoadSlot(const std::string &dir, CK_SLOT_ID slot, SlotState &state);
bool SaveSlot(const std::string &dir, const SlotState &state);
bool LoadLibraryFaults(const std::string &dir, LibraryFaults &faults);
bool SaveLibraryFaults(const std::string &dir, const LibraryFaults &faults);

// Serialised forms, for the tests and the tool.
std::string SlotToJson(const SlotState &state);
bool SlotFromJson(const std::string &text, SlotState &state);

// Writes bytes to path through a temporary file and an atomic replace.
bool WriteFileAtomically(const std::string &path, const std::string &bytes);
bool ReadWholeFile(const std::string &path, std::string &bytes);

// Names used in the store file and by the tool: "CKA_LABEL" <-> CKA_LABEL;
// unknown types are written as hex numbers ("0x80000001").
std::string AttributeName(CK_ATTRIBUTE_TYPE type);
bool AttributeFromName(const std::string &name, CK_ATTRIBUTE_TYPE &type);

std::string ToHex(const std::string &bytes);
bool FromHex(const std::string &hex, std::string &bytes);
