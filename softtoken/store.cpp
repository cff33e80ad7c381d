#include "softtoken/store.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

using nlohmann::json;

std::string StoredObject::Get(CK_ATTRIBUTE_TYPE type) const
{
    auto it = attributes.find(type);
    return it == attributes.end() ? std::string() : it->second;
}

CK_ULONG StoredObject::GetUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG fallback) const
{
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != sizeof(CK_ULONG))
        return fallback;
    CK_ULONG value;
    memcpy(&value, it->second.data(), sizeof value);
    return value;
}

bool StoredObject::GetBool(CK_ATTRIBUTE_TYPE type, bool fallback) const
{
    auto it = attributes.find(type);
    if (it == attributes.end() || it->second.size() != 1)
        return fallback;
    return it->second[0] != 0;
}

StoredObject *SlotState::Find(CK_OBJECT_HANDLE handle)
{
    for (auto &object : objects)
        if (object.handle == handle)
            return &object;
    return nullptr;
}

std::string ToHex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string &hex, std::string &bytes)
{
    if (hex.size() % 2)
        return false;
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += (char)(high * 16 + low);
    }
    return true;
}

static const struct {
    CK_ATTRIBUTE_TYPE type;
    const char *name;
} attributeNames[] = {
    {CKA_CLASS, "CKA_CLASS"},
    {CKA_TOKEN, "CKA_TOKEN"},
    {CKA_PRIVATE, "CKA_PRIVATE"},
    {CKA_LABEL, "CKA_LABEL"},
    {CKA_APPLICATION, "CKA_APPLICATION"},
    {CKA_VALUE, "CKA_VALUE"},
    {CKA_CERTIFICATE_TYPE, "CKA_CERTIFICATE_TYPE"},
    {CKA_ISSUER, "CKA_ISSUER"},
    {CKA_SERIAL_NUMBER, "CKA_SERIAL_NUMBER"},
    {CKA_SUBJECT, "CKA_SUBJECT"},
    {CKA_KEY_TYPE, "CKA_KEY_TYPE"},
    {CKA_ID, "CKA_ID"},
    {CKA_SENSITIVE, "CKA_SENSITIVE"},
    {CKA_SIGN, "CKA_SIGN"},
    {CKA_VERIFY, "CKA_VERIFY"},
    {CKA_DERIVE, "CKA_DERIVE"},
    {CKA_EXTRACTABLE, "CKA_EXTRACTABLE"},
    {CKA_LOCAL, "CKA_LOCAL"},
    {CKA_NEVER_EXTRACTABLE, "CKA_NEVER_EXTRACTABLE"},
    {CKA_ALWAYS_SENSITIVE, "CKA_ALWAYS_SENSITIVE"},
    {CKA_MODIFIABLE, "CKA_MODIFIABLE"},
    {CKA_KEY_GEN_MECHANISM, "CKA_KEY_GEN_MECHANISM"},
    {CKA_GOSTR3410_PARAMS, "CKA_GOSTR3410_PARAMS"},
    {CKA_GOSTR3411_PARAMS, "CKA_GOSTR3411_PARAMS"},
};

std::string AttributeName(CK_ATTRIBUTE_TYPE type)
{
    for (auto &entry : attributeNames)
        if (entry.type == type)
            return entry.name;
    char text[16];
    snprintf(text, sizeof text, "0x%lx", (unsigned long)type);
    return text;
}

bool AttributeFromName(const std::string &name, CK_ATTRIBUTE_TYPE &type)
{
    for (auto &entry : attributeNames)
        if (name == entry.name) {
            type = entry.type;
            return true;
        }
    if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
        char *end = nullptr;
        unsigned long value = strtoul(name.c_str() + 2, &end, 16);
        if (*end == 0) {
            type = value;
            return true;
        }
    }
    return false;
}

std::string WindowsPathOf(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string windows = "Z:";
    for (char c : path)
        windows += c == '/' ? '\\' : c;
    return windows;
}

std::wstring Wide(const std::string &utf8)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0], length);
    return wide;
}

std::string Utf8(const std::wstring &wide)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string utf8(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

std::string EnvironmentText(const char *name)
{
    wchar_t value[2048];
    DWORD length = GetEnvironmentVariableW(Wide(name).c_str(), value, 2048);
    if (length == 0 || length >= 2048)
        return std::string();
    return Utf8(std::wstring(value, length));
}

std::string StoreDirFromEnvironment()
{
    return WindowsPathOf(EnvironmentText("SOFTTOKEN_DIR"));
}

std::string SlotFilePath(const std::string &dir, CK_SLOT_ID slot)
{
    return dir + "\\slot-" + std::to_string((unsigned long)slot) + ".json";
}

static std::string LibraryFilePath(const std::string &dir)
{
    return dir + "\\library.json";
}

static HANDLE OpenForReading(const std::string &path)
{
    return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

static bool ReadOpenFile(HANDLE file, std::string &bytes)
{
    bytes.clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return ok;
}

bool ReadWholeFile(const std::string &path, std::string &bytes)
{
    HANDLE file = OpenForReading(path);
    return file != INVALID_HANDLE_VALUE && ReadOpenFile(file, bytes);
}

static DWORD WritePauseMilliseconds()
{
    return strtoul(EnvironmentText("SOFTTOKEN_WRITE_PAUSE_MS").c_str(), nullptr, 10);
}

static bool WriteAll(HANDLE file, const char *data, size_t length)
{
    while (length > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, (DWORD)length, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

bool WriteFileAtomically(const std::string &path, const std::string &bytes)
{
    std::string temporary = path + ".tmp-" + std::to_string((unsigned long)GetCurrentProcessId()) + "-" +
                            std::to_string((unsigned long)GetCurrentThreadId());
    HANDLE file = CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // SOFTTOKEN_WRITE_PAUSE_MS stops half-way through the temporary file, so
    // that a test can kill the process in the middle of a write.
    size_t half = bytes.size() / 2;
    bool ok = WriteAll(file, bytes.data(), half);
    if (ok) {
        if (DWORD pause = WritePauseMilliseconds()) {
            FlushFileBuffers(file);
            Sleep(pause);
        }
        ok = WriteAll(file, bytes.data() + half, bytes.size() - half);
    }
    ok = ok && FlushFileBuffers(file);
    CloseHandle(file);
    if (ok)
        ok = MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileW(Wide(temporary).c_str());
    return ok;
}

static json FunctionFaultsToJson(const std::vector<FunctionFault> &faults)
{
    json list = json::array();
    for (auto &fault : faults)
        list.push_back({{"function", fault.function}, {"rv", fault.rv}, {"after", fault.after}, {"once", fault.once}});
    return list;
}

static void FunctionFaultsFromJson(const json &list, std::vector<FunctionFault> &faults)
{
    faults.clear();
    if (!list.is_array())
        return;
    for (auto &entry : list) {
        FunctionFault fault;
        fault.function = entry.at("function").get<std::string>();
        fault.rv = entry.at("rv").get<CK_RV>();
        fault.after = entry.value("after", (CK_ULONG)0);
        fault.once = entry.value("once", false);
        faults.push_back(fault);
    }
}

static json TriggerToJson(const PresenceTrigger &trigger)
{
    if (trigger.function.empty())
        return nullptr;
    return {{"function", trigger.function}, {"count", trigger.count}};
}

static void TriggerFromJson(const json &value, PresenceTrigger &trigger)
{
    trigger = PresenceTrigger();
    if (!value.is_object())
        return;
    trigger.function = value.at("function").get<std::string>();
    trigger.count = value.value("count", (CK_ULONG)1);
}

std::string SlotToJson(const SlotState &state)
{
    json objects = json::array();
    for (auto &object : state.objects) {
        json attributes = json::object();
        for (auto &attribute : object.attributes)
            attributes[AttributeName(attribute.first)] = ToHex(attribute.second);
        objects.push_back({{"handle", object.handle}, {"attributes", attributes}});
    }
    json faults = {
        {"functions", FunctionFaultsToJson(state.faults.functions)},
        {"tokenInfoFails", state.faults.tokenInfoFails},
        {"removeAfter", TriggerToJson(state.faults.removeAfter)},
        {"appearAfter", TriggerToJson(state.faults.appearAfter)},
        {"killAfter", TriggerToJson(state.faults.killAfter)},
        {"undestroyable", state.faults.undestroyable},
        {"publicValueDer", state.faults.publicValueDer},
        {"findBatch", state.faults.findBatch},
    };
    json root = {
        {"slot", state.id},
        {"present", state.present},
        {"label", state.label},
        {"pin", state.pin},
        {"serial", state.serial},
        {"triesLeft", state.triesLeft},
        {"maxTries", state.maxTries},
        {"nextHandle", state.nextHandle},
        {"objects", objects},
        {"faults", faults},
    };
    return root.dump(1) + "\n";
}

bool SlotFromJson(const std::string &text, SlotState &state)
{
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return false;
    try {
        SlotState loaded;
        loaded.id = root.at("slot").get<CK_SLOT_ID>();
        loaded.present = root.value("present", true);
        loaded.label = root.value("label", std::string());
        loaded.pin = root.value("pin", std::string());
        loaded.serial = root.value("serial", std::string());
        loaded.triesLeft = root.value("triesLeft", (CK_ULONG)10);
        loaded.maxTries = root.value("maxTries", (CK_ULONG)10);
        loaded.nextHandle = root.value("nextHandle", (CK_OBJECT_HANDLE)1);
        for (auto &entry : root.value("objects", json::array())) {
            StoredObject object;
            object.handle = entry.at("handle").get<CK_OBJECT_HANDLE>();
            for (auto &attribute : entry.at("attributes").items()) {
                CK_ATTRIBUTE_TYPE type;
                std::string value;
                if (!AttributeFromName(attribute.key(), type) || !FromHex(attribute.value().get<std::string>(), value))
                    return false;
                object.attributes[type] = value;
            }
            loaded.nextHandle = std::max(loaded.nextHandle, object.handle + 1);
            loaded.objects.push_back(object);
        }
        json faults = root.value("faults", json::object());
        FunctionFaultsFromJson(faults.value("functions", json::array()), loaded.faults.functions);
        loaded.faults.tokenInfoFails = faults.value("tokenInfoFails", false);
        TriggerFromJson(faults.value("removeAfter", json()), loaded.faults.removeAfter);
        TriggerFromJson(faults.value("appearAfter", json()), loaded.faults.appearAfter);
        TriggerFromJson(faults.value("killAfter", json()), loaded.faults.killAfter);
        loaded.faults.undestroyable = faults.value("undestroyable", std::vector<CK_OBJECT_HANDLE>());
        loaded.faults.publicValueDer = faults.value("publicValueDer", false);
        loaded.faults.findBatch = faults.value("findBatch", (CK_ULONG)0);
        state = loaded;
        return true;
    } catch (const json::exception &) {
        return false;
    }
}

// The last state parsed from each slot file. Every write makes a new file
// (temporary file renamed over the old one), so the file's identity, size
// and time tell whether the cached state is still the file's.
struct CachedSlot {
    BY_HANDLE_FILE_INFORMATION file;
    SlotState state;
};
static std::map<std::string, CachedSlot> slotCache;

static bool SameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow &&
           a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

bool LoadSlot(const std::string &dir, CK_SLOT_ID slot, SlotState &state)
{
    std::string path = SlotFilePath(dir, slot);
    HANDLE file = OpenForReading(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    bool known = GetFileInformationByHandle(file, &information);
    auto cached = slotCache.find(path);
    if (known && cached != slotCache.end() && SameFile(cached->second.file, information)) {
        CloseHandle(file);
        state = cached->second.state;
        return true;
    }
    std::string text;
    if (!ReadOpenFile(file, text) || !SlotFromJson(text, state) || state.id != slot)
        return false;
    if (known)
        slotCache[path] = {information, state};
    return true;
}

bool SaveSlot(const std::string &dir, const SlotState &state)
{
    std::string path = SlotFilePath(dir, state.id);
    slotCache.erase(path);
    return WriteFileAtomically(path, SlotToJson(state));
}

std::vector<CK_SLOT_ID> ListSlotIds(const std::string &dir)
{
    std::vector<CK_SLOT_ID> ids;
    if (dir.empty())
        return ids;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(dir + "\\slot-*.json").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return ids;
    do {
        // Only names of the exact form slot-<decimal>.json count; temporary
        // files of an interrupted write are ignored.
        const wchar_t *digits = found.cFileName + 5;
        wchar_t *end = nullptr;
        unsigned long id = wcstoul(digits, &end, 10);
        if (end != digits && *digits >= L'0' && *digits <= L'9' && wcscmp(end, L".json") == 0)
            ids.push_back(id);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool LoadLibraryFaults(const std::string &dir, LibraryFaults &faults)
{
    faults = LibraryFaults();
    std::string text;
    if (!ReadWholeFile(LibraryFilePath(dir), text))
        return false;
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return false;
    try {
        FunctionFaultsFromJson(root.value("functions", json::array()), faults.functions);
        return true;
    } catch (const json::exception &) {
        faults = LibraryFaults();
        return false;
    }
}

bool SaveLibraryFaults(const std::string &dir, const LibraryFaults &faults)
{
    json root = {{"functions", FunctionFaultsToJson(faults.functions)}};
    return WriteFileAtomically(LibraryFilePath(dir), root.dump(1) + "\n");
}
