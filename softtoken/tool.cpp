// softtoken.exe: sets up stand-in tokens for tests and the demo and shows
// what is on them. It works on the store folder directly and runs the
// library's own code in its process with faults and the journal off, so that
// a test can look at a token whatever faults it has set for the program.
#include "softtoken/der.h"
#include "softtoken/library_state.h"
#include "softtoken/objects.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static std::string toolDir;

// The command's arguments: positional ones and --name value pairs.
struct Options {
    Options(const std::vector<std::string> &args, size_t first);
    bool Has(const std::string &name) const;
    std::string Get(const std::string &name, const std::string &fallback) const;
    std::vector<std::string> All(const std::string &name) const;

    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> named;
    std::string bad;
};

static int Fail(const std::string &message)
{
    fprintf(stderr, "softtoken: %s\n", message.c_str());
    return 1;
}

static const char usageText[] =
    "usage: softtoken [--dir DIR] COMMAND ...\n"
    "  init SLOT [--label TEXT] [--pin PIN] [--tries N] [--serial TEXT] [--absent]\n"
    "  present SLOT yes|no\n"
    "  keygen SLOT --id HEX [--kind 2001|2012-256|2012-512] [--paramset NAME] [--pub-label L] [--priv-label L]\n"
    "  csr SLOT --id HEX --out FILE [--subject OID=VALUE]...\n"
    "  import-cert SLOT --id HEX --label L --file CERT.der\n"
    "  add-object SLOT --class N --id HEX [--label L] --value-file F\n"
    "  sign SLOT --cert HANDLE --in DATA --out FILE\n"
    "  list SLOT\n"
    "  dump SLOT HANDLE --out FILE\n"
    "  export-pubkey SLOT --id HEX --out FILE\n"
    "  fault library FUNCTION RV [--after N] [--once]\n"
    "  fault SLOT FUNCTION RV [--after N] [--once]\n"
    "  fault SLOT token-info-fails\n"
    "  fault SLOT remove-after FUNCTION [N]\n"
    "  fault SLOT appear-after FUNCTION [N]\n"
    "  fault SLOT kill-after FUNCTION [N]\n"
    "  fault SLOT undestroyable HANDLE\n"
    "  fault SLOT public-value-der\n"
    "  fault SLOT find-batch N\n"
    "  clear-faults [SLOT|library]\n";

static int Usage()
{
    fputs(usageText, stderr);
    return 2;
}

static bool ParseNumber(const std::string &text, unsigned long &number)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    number = strtoul(text.c_str(), &end, 0);
    return *end == 0;
}

static bool ParseSlot(const std::string &text, CK_SLOT_ID &slot)
{
    unsigned long number;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || !ParseNumber(text, number))
        return false;
    slot = number;
    return true;
}

Options::Options(const std::vector<std::string> &args, size_t first)
{
    for (size_t i = first; i < args.size(); ++i) {
        if (args[i].compare(0, 2, "--") == 0) {
            std::string name = args[i].substr(2);
            if (name == "absent" || name == "once") {
                named.push_back({name, ""});
            } else if (i + 1 < args.size()) {
                named.push_back({name, args[i + 1]});
                ++i;
            } else {
                bad = "option --" + name + " needs a value";
            }
        } else {
            positional.push_back(args[i]);
        }
    }
}

bool Options::Has(const std::string &name) const
{
    for (auto &option : named)
        if (option.first == name)
            return true;
    return false;
}

std::string Options::Get(const std::string &name, const std::string &fallback) const
{
    for (auto &option : named)
        if (option.first == name)
            return option.second;
    return fallback;
}

std::vector<std::string> Options::All(const std::string &name) const
{
    std::vector<std::string> values;
    for (auto &option : named)
        if (option.first == name)
            values.push_back(option.second);
    return values;
}

static bool LoadToolSlot(CK_SLOT_ID slot, SlotState &state)
{
    return LoadSlot(toolDir, slot, state);
}

static std::string ClassName(const StoredObject &object)
{
    if (!object.Has(CKA_CLASS))
        return "none";
    switch (CK_ULONG objectClass = object.GetUlong(CKA_CLASS, 0)) {
    case CKO_CERTIFICATE:
        return "certificate";
    case CKO_PUBLIC_KEY:
        return "public-key";
    case CKO_PRIVATE_KEY:
        return "private-key";
    case CKO_DATA:
        return "data";
    default:
        return std::to_string(objectClass);
    }
}

static int CommandInit(const Options &options)
{
    CK_SLOT_ID slot;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot))
        return Usage();
    SlotState state;
    state.id = slot;
    state.present = !options.Has("absent");
    state.label = options.Get("label", "JaCarta GOST " + std::to_string((unsigned long)slot));
    state.pin = options.Get("pin", "1234567890");
    state.serial = options.Get("serial", "");
    if (state.serial.size() > 16)
        return Fail("bad --serial: at most 16 characters");
    unsigned long tries;
    if (!ParseNumber(options.Get("tries", "10"), tries) || tries == 0)
        return Fail("bad --tries");
    state.triesLeft = state.maxTries = tries;
    return SaveSlot(toolDir, state) ? 0 : Fail("cannot write " + SlotFilePath(toolDir, slot));
}

static int CommandPresent(const Options &options)
{
    CK_SLOT_ID slot;
    SlotState state;
    if (options.positional.size() != 2 || !ParseSlot(options.positional[0], slot))
        return Usage();
    if (options.positional[1] != "yes" && options.positional[1] != "no")
        return Usage();
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + options.positional[0]);
    state.present = options.positional[1] == "yes";
    return SaveSlot(toolDir, state) ? 0 : Fail("cannot write the slot file");
}

static int CommandList(const Options &options)
{
    CK_SLOT_ID slot;
    SlotState state;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot))
        return Usage();
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + options.positional[0]);
    for (auto &object : state.objects) {
        // One line per object, whatever the label holds.
        std::string label = object.Get(CKA_LABEL);
        for (char &c : label)
            if ((unsigned char)c < 0x20)
                c = '?';
        printf("handle=%lu class=%s id=%s label=%s value-length=%lu\n", (unsigned long)object.handle,
               ClassName(object).c_str(), ToHex(object.Get(CKA_ID)).c_str(), label.c_str(),
               (unsigned long)object.Get(CKA_VALUE).size());
    }
    return 0;
}

static int WriteOut(const std::string &path, const std::string &bytes)
{
    FILE *file = _wfopen(Wide(WindowsPathOf(path)).c_str(), L"wb");
    if (!file)
        return Fail("cannot write " + path);
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    return ok ? 0 : Fail("cannot write " + path);
}

static bool ReadIn(const std::string &path, std::string &bytes)
{
    return ReadWholeFile(WindowsPathOf(path), bytes);
}

static int CommandDump(const Options &options)
{
    CK_SLOT_ID slot;
    unsigned long handle;
    SlotState state;
    if (options.positional.size() != 2 || !ParseSlot(options.positional[0], slot) ||
        !ParseNumber(options.positional[1], handle) || !options.Has("out"))
        return Usage();
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + options.positional[0]);
    StoredObject *object = state.Find(handle);
    if (!object)
        return Fail("no object " + options.positional[1]);
    if (object->GetUlong(CKA_CLASS, 0) == CKO_PRIVATE_KEY || object->GetBool(CKA_SENSITIVE, false))
        return Fail("the value of a private key is not readable");
    return WriteOut(options.Get("out", ""), object->Get(CKA_VALUE));
}

static int CommandExportPublicKey(const Options &options)
{
    CK_SLOT_ID slot;
    SlotState state;
    std::string id;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) || !options.Has("out") ||
        !FromHex(options.Get("id", ""), id))
        return Usage();
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + options.positional[0]);
    for (auto &object : state.objects)
        if (object.GetUlong(CKA_CLASS, 0) == CKO_PUBLIC_KEY && object.Has(CKA_ID) && object.Get(CKA_ID) == id)
            return WriteOut(options.Get("out", ""), object.Get(CKA_VALUE));
    return Fail("no public key with that id");
}

// Adds an object as it is, without the checks of C_CreateObject, so that
// tests can put malformed or oversized values on a token.
static int AddObject(CK_SLOT_ID slot, const std::map<CK_ATTRIBUTE_TYPE, std::string> &attributes)
{
    SlotState state;
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + std::to_string((unsigned long)slot));
    StoredObject object;
    object.handle = state.nextHandle++;
    object.attributes = attributes;
    state.objects.push_back(object);
    if (!SaveSlot(toolDir, state))
        return Fail("cannot write the slot file");
    printf("handle=%lu\n", (unsigned long)object.handle);
    return 0;
}

static std::string UlongBytes(CK_ULONG value)
{
    return std::string((const char *)&value, sizeof value);
}

static int CommandAddObject(const Options &options)
{
    CK_SLOT_ID slot;
    unsigned long objectClass;
    std::string id, value;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) ||
        !ParseNumber(options.Get("class", ""), objectClass) || !options.Has("id") ||
        !FromHex(options.Get("id", ""), id) || !options.Has("value-file"))
        return Usage();
    if (!ReadIn(options.Get("value-file", ""), value))
        return Fail("cannot read " + options.Get("value-file", ""));
    std::map<CK_ATTRIBUTE_TYPE, std::string> attributes = {
        {CKA_CLASS, UlongBytes(objectClass)},
        {CKA_TOKEN, std::string(1, '\1')},
        {CKA_PRIVATE, std::string(1, '\0')},
        {CKA_ID, id},
        {CKA_VALUE, value},
    };
    if (options.Has("label"))
        attributes[CKA_LABEL] = options.Get("label", "");
    if (objectClass == CKO_CERTIFICATE)
        attributes[CKA_CERTIFICATE_TYPE] = UlongBytes(CKC_X_509);
    return AddObject(slot, attributes);
}

static int CommandImportCertificate(const Options &options)
{
    CK_SLOT_ID slot;
    std::string id, value;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) || !options.Has("id") ||
        !FromHex(options.Get("id", ""), id) || !options.Has("label") || !options.Has("file"))
        return Usage();
    if (!ReadIn(options.Get("file", ""), value))
        return Fail("cannot read " + options.Get("file", ""));
    return AddObject(slot, {
                               {CKA_CLASS, UlongBytes(CKO_CERTIFICATE)},
                               {CKA_TOKEN, std::string(1, '\1')},
                               {CKA_PRIVATE, std::string(1, '\0')},
                               {CKA_CERTIFICATE_TYPE, UlongBytes(CKC_X_509)},
                               {CKA_ID, id},
                               {CKA_LABEL, options.Get("label", "")},
                               {CKA_VALUE, value},
                           });
}

static void SetFunctionFault(std::vector<FunctionFault> &faults, const FunctionFault &fault)
{
    for (auto &existing : faults)
        if (existing.function == fault.function) {
            existing = fault;
            return;
        }
    faults.push_back(fault);
}

static int CommandFault(const Options &options)
{
    const auto &args = options.positional;
    if (args.size() < 2)
        return Usage();
    unsigned long after = 0;
    if (options.Has("after") && !ParseNumber(options.Get("after", ""), after))
        return Fail("bad --after");
    if (args[0] == "library") {
        FunctionFault fault;
        if (args.size() != 3 || !ParseNumber(args[2], fault.rv))
            return Usage();
        if (!IsLibraryFunction(args[1]))
            return Fail(args[1] + " is not a library-wide function; give a slot");
        fault.function = args[1];
        fault.after = after;
        fault.once = options.Has("once");
        LibraryFaults faults;
        LoadLibraryFaults(toolDir, faults);
        SetFunctionFault(faults.functions, fault);
        return SaveLibraryFaults(toolDir, faults) ? 0 : Fail("cannot write library.json");
    }
    CK_SLOT_ID slot;
    SlotState state;
    if (!ParseSlot(args[0], slot))
        return Usage();
    if (!LoadToolSlot(slot, state))
        return Fail("no token in slot " + args[0]);
    const std::string &kind = args[1];
    unsigned long number = 1;
    if (kind == "token-info-fails" && args.size() == 2) {
        state.faults.tokenInfoFails = true;
    } else if (kind == "public-value-der" && args.size() == 2) {
        state.faults.publicValueDer = true;
    } else if (kind == "find-batch" && args.size() == 3) {
        if (!ParseNumber(args[2], number) || number == 0)
            return Fail("bad batch size");
        state.faults.findBatch = number;
    } else if ((kind == "remove-after" || kind == "appear-after" || kind == "kill-after") &&
               (args.size() == 3 || args.size() == 4)) {
        if (args.size() == 4 && (!ParseNumber(args[3], number) || number == 0))
            return Fail("bad call count");
        if (!IsLibraryFunction(args[2]) && !IsSlotFunction(args[2]))
            return Fail("no such function: " + args[2]);
        PresenceTrigger &trigger = kind == "remove-after"   ? state.faults.removeAfter
                                   : kind == "appear-after" ? state.faults.appearAfter
                                                            : state.faults.killAfter;
        trigger.function = args[2];
        trigger.count = number;
    } else if (kind == "undestroyable" && args.size() == 3) {
        if (!ParseNumber(args[2], number))
            return Usage();
        state.faults.undestroyable.push_back(number);
    } else if (args.size() == 3) {
        FunctionFault fault;
        if (!ParseNumber(args[2], fault.rv))
            return Usage();
        if (IsLibraryFunction(kind))
            return Fail(kind + " is library-wide; use 'fault library'");
        if (!IsSlotFunction(kind))
            return Fail("no such function: " + kind);
        fault.function = kind;
        fault.after = after;
        fault.once = options.Has("once");
        SetFunctionFault(state.faults.functions, fault);
    } else {
        return Usage();
    }
    return SaveSlot(toolDir, state) ? 0 : Fail("cannot write the slot file");
}

static int CommandClearFaults(const Options &options)
{
    const auto &args = options.positional;
    if (args.size() > 1)
        return Usage();
    bool all = args.empty();
    if (all || args[0] == "library") {
        if (!SaveLibraryFaults(toolDir, LibraryFaults()))
            return Fail("cannot write library.json");
    }
    std::vector<CK_SLOT_ID> slots;
    CK_SLOT_ID slot;
    if (all)
        slots = ListSlotIds(toolDir);
    else if (args[0] != "library" && ParseSlot(args[0], slot))
        slots.push_back(slot);
    else if (args[0] != "library")
        return Usage();
    for (CK_SLOT_ID id : slots) {
        SlotState state;
        if (!LoadToolSlot(id, state))
            return Fail("no token in slot " + std::to_string((unsigned long)id));
        state.faults = SlotFaults();
        if (!SaveSlot(toolDir, state))
            return Fail("cannot write the slot file");
    }
    return 0;
}

// The renewal's extension set, as the program hands it to createCSR.
static const char *const renewalExtensions[] = {
    "keyUsage",
    "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
    "extendedKeyUsage",
    "1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,1.2.643.3.6.78.4.5,1.3.6.1.5.5.7.3.4,"
    "1.2.643.5.1.28.4,1.2.643.3.6.0.13",
    "1.2.643.100.111",
    "ASN1:UTF8String:СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»",
    "1.3.6.1.4.1.311.21.7",
    "ASN1:SEQUENCE:certificateTemplate\n[certificateTemplate]\ntemplateID=OID:1.2.643.3.6.3.13\n"
    "templateMajorVersion=INTEGER:1\ntemplateMinorVersion=INTEGER:0",
};

static std::string RvText(CK_RV rv)
{
    char text[16];
    snprintf(text, sizeof text, "0x%lx", (unsigned long)rv);
    return text;
}

// A logged-in read-write session on a slot through the library's own calls,
// with the PIN kept in the slot file.
class ToolSession {
public:
    CK_RV Open(CK_SLOT_ID slot)
    {
        SlotState state;
        if (!LoadToolSlot(slot, state))
            return CKR_SLOT_ID_INVALID;
        CK_RV rv = C_Initialize(nullptr);
        initialized = rv == CKR_OK;
        if (rv == CKR_OK)
            rv = C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &handle);
        if (rv == CKR_OK)
            rv = C_Login(handle, CKU_USER, (CK_UTF8CHAR_PTR)state.pin.data(), state.pin.size());
        return rv;
    }
    ~ToolSession()
    {
        if (handle)
            C_CloseSession(handle);
        if (initialized)
            C_Finalize(nullptr);
    }
    CK_SESSION_HANDLE handle = 0;

private:
    bool initialized = false;
};

// Parameter sets by the names OpenSSL's GOST engine gives them (paramset:NAME).
struct NamedParamSet {
    const char *name;
    const char *oid;
};
static const NamedParamSet narrowSets[] = {
    {"A", "1.2.643.2.2.35.1"},       {"B", "1.2.643.2.2.35.2"},       {"C", "1.2.643.2.2.35.3"},
    {"XA", "1.2.643.2.2.36.0"},      {"XB", "1.2.643.2.2.36.1"},      {"TCA", "1.2.643.7.1.2.1.1.1"},
    {"TCB", "1.2.643.7.1.2.1.1.2"},  {"TCC", "1.2.643.7.1.2.1.1.3"},  {"TCD", "1.2.643.7.1.2.1.1.4"},
};
static const NamedParamSet wideSets[] = {
    {"A", "1.2.643.7.1.2.1.2.1"},
    {"B", "1.2.643.7.1.2.1.2.2"},
    {"C", "1.2.643.7.1.2.1.2.3"},
};

// The OID of a named set for a kind; false for a name the kind's size lacks.
// A 2001 key takes the 256-bit names: the token itself refuses the TC26 ones.
static bool ParamSetOid(GostKind kind, const std::string &name, std::string &oid)
{
    auto find = [&](const NamedParamSet *first, const NamedParamSet *last) {
        for (const NamedParamSet *set = first; set != last; ++set)
            if (name == set->name) {
                oid = der::Oid(set->oid);
                return true;
            }
        return false;
    };
    return kind == GostKind::R2012_512 ? find(std::begin(wideSets), std::end(wideSets))
                                       : find(std::begin(narrowSets), std::end(narrowSets));
}

static bool ParseKind(const std::string &text, GostKind &kind)
{
    if (text == "2001")
        kind = GostKind::R2001;
    else if (text == "2012-256")
        kind = GostKind::R2012_256;
    else if (text == "2012-512")
        kind = GostKind::R2012_512;
    else
        return false;
    return true;
}

static int CommandKeygen(const Options &options)
{
    CK_SLOT_ID slot;
    std::string id, parameters;
    GostKind kind;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) || !options.Has("id") ||
        !FromHex(options.Get("id", ""), id))
        return Usage();
    if (!ParseKind(options.Get("kind", "2001"), kind)) {
        fprintf(stderr, "softtoken: --kind is 2001, 2012-256 or 2012-512\n");
        return Usage();
    }
    if (!ParamSetOid(kind, options.Get("paramset", "A"), parameters)) {
        fprintf(stderr, "softtoken: no parameter set %s for --kind %s\n", options.Get("paramset", "A").c_str(),
                options.Get("kind", "2001").c_str());
        return Usage();
    }
    std::string publicLabel = options.Get("pub-label", "Public key");
    std::string privateLabel = options.Get("priv-label", "Private key");
    ToolSession session;
    CK_RV rv = session.Open(slot);
    if (rv != CKR_OK)
        return Fail("cannot log in to slot " + options.positional[0] + ": " + RvText(rv));
    CK_BBOOL yes = CK_TRUE;
    // A 2001 key gets the templates the program has always used; a 2012 key
    // also names its Streebog digest, right after the parameter set.
    std::string hash = HashParamsOf(kind);
    auto keyTemplate = [&](std::string &label) {
        std::vector<CK_ATTRIBUTE> attributes = {
            {CKA_TOKEN, &yes, 1},
            {CKA_LABEL, &label[0], label.size()},
            {CKA_GOSTR3410_PARAMS, &parameters[0], parameters.size()},
        };
        if (kind != GostKind::R2001)
            attributes.push_back({CKA_GOSTR3411_PARAMS, &hash[0], hash.size()});
        attributes.push_back({CKA_ID, &id[0], id.size()});
        return attributes;
    };
    std::vector<CK_ATTRIBUTE> publicTemplate = keyTemplate(publicLabel), privateTemplate = keyTemplate(privateLabel);
    CK_MECHANISM mechanism = {
        kind == GostKind::R2012_512 ? CKM_GOSTR3410_512_KEY_PAIR_GEN : CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    rv = C_GenerateKeyPair(session.handle, &mechanism, publicTemplate.data(), publicTemplate.size(),
                           privateTemplate.data(), privateTemplate.size(), &publicKey, &privateKey);
    if (rv != CKR_OK)
        return Fail("C_GenerateKeyPair: " + RvText(rv));
    printf("public=%lu private=%lu\n", (unsigned long)publicKey, (unsigned long)privateKey);
    return 0;
}

static int CommandCsr(const Options &options)
{
    CK_SLOT_ID slot;
    std::string id;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) || !options.Has("id") ||
        !FromHex(options.Get("id", ""), id) || !options.Has("out"))
        return Usage();
    std::vector<std::string> subject;
    for (auto &item : options.All("subject")) {
        size_t equals = item.find('=');
        if (equals == std::string::npos)
            return Fail("--subject needs OID=VALUE: " + item);
        subject.push_back(item.substr(0, equals));
        subject.push_back(item.substr(equals + 1));
    }
    std::vector<char *> dn;
    for (auto &text : subject)
        dn.push_back(&text[0]);
    std::vector<std::string> extensionTexts(std::begin(renewalExtensions), std::end(renewalExtensions));
    std::vector<char *> exts;
    for (auto &text : extensionTexts)
        exts.push_back(&text[0]);

    ToolSession session;
    CK_RV rv = session.Open(slot);
    if (rv != CKR_OK)
        return Fail("cannot log in to slot " + options.positional[0] + ": " + RvText(rv));
    CK_OBJECT_CLASS keyClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, &id[0], id.size()}};
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    C_FindObjectsInit(session.handle, pattern, 2);
    C_FindObjects(session.handle, &key, 1, &found);
    C_FindObjectsFinal(session.handle);
    if (found != 1)
        return Fail("no public key with that id");
    CK_BYTE *request = nullptr;
    CK_ULONG requestLength = 0;
    rv = createCSR(session.handle, key, dn.data(), dn.size(), &request, &requestLength, 0, 0, 0, exts.data(),
                   exts.size());
    if (rv != CKR_OK)
        return Fail("createCSR: " + RvText(rv));
    int result = WriteOut(options.Get("out", ""), std::string((const char *)request, requestLength));
    freeBuffer(request);
    return result;
}

static int CommandSign(const Options &options)
{
    CK_SLOT_ID slot;
    unsigned long certificate;
    std::string data;
    if (options.positional.size() != 1 || !ParseSlot(options.positional[0], slot) ||
        !ParseNumber(options.Get("cert", ""), certificate) || !options.Has("in") || !options.Has("out"))
        return Usage();
    if (!ReadIn(options.Get("in", ""), data))
        return Fail("cannot read " + options.Get("in", ""));
    ToolSession session;
    CK_RV rv = session.Open(slot);
    if (rv != CKR_OK)
        return Fail("cannot log in to slot " + options.positional[0] + ": " + RvText(rv));
    CK_BYTE *message = nullptr;
    CK_ULONG messageLength = 0;
    rv = pkcs7Sign(session.handle, (CK_BYTE *)&data[0], data.size(), certificate, &message, &messageLength, 0, 0, 0,
                   0);
    if (rv != CKR_OK)
        return Fail("pkcs7Sign: " + RvText(rv));
    int result = WriteOut(options.Get("out", ""), std::string((const char *)message, messageLength));
    freeBuffer(message);
    return result;
}

int main()
{
    // The arguments as UTF-8, whatever the ANSI code page: subject values and
    // labels are UTF-8 on the token.
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(Utf8(argv[i]));
    LocalFree(argv);
    // Plain line feeds: the output is read by programs.
    _setmode(_fileno(stdout), _O_BINARY);
    // --dir may stand anywhere; it wins over SOFTTOKEN_DIR.
    toolDir = StoreDirFromEnvironment();
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--dir") {
            toolDir = WindowsPathOf(args[i + 1]);
            SetEnvironmentVariableW(L"SOFTTOKEN_DIR", Wide(toolDir).c_str());
            args.erase(args.begin() + i, args.begin() + i + 2);
            break;
        }
    if (args.empty()) {
        fputs(usageText, stdout);
        return 0;
    }
    if (toolDir.empty())
        return Fail("no store folder: set SOFTTOKEN_DIR or give --dir");
    CreateDirectoryW(Wide(toolDir).c_str(), nullptr);
    SetJournalEnabled(false);
    SetFaultsEnabled(false);

    std::string command = args[0];
    Options options(args, 1);
    if (!options.bad.empty())
        return Fail(options.bad);
    if (command == "init")
        return CommandInit(options);
    if (command == "present")
        return CommandPresent(options);
    if (command == "list")
        return CommandList(options);
    if (command == "dump")
        return CommandDump(options);
    if (command == "export-pubkey")
        return CommandExportPublicKey(options);
    if (command == "add-object")
        return CommandAddObject(options);
    if (command == "import-cert")
        return CommandImportCertificate(options);
    if (command == "keygen")
        return CommandKeygen(options);
    if (command == "csr")
        return CommandCsr(options);
    if (command == "sign")
        return CommandSign(options);
    if (command == "fault")
        return CommandFault(options);
    if (command == "clear-faults")
        return CommandClearFaults(options);
    return Usage();
}
