// The renewal fault matrix: kestrava.exe renews one certificate while, in
// turn, every token call of a complete renewal fails, the token is taken out
// right after it, or the process ends right after it (and is started again),
// and while the renewal server answers each exchange with each of its faults.
// Where the answer to the certificate request is lost and the new pair kept,
// the holder goes on: the certificate the centre issued is written from its
// file through the program's menu.
//
// The cells come from the stand-in token's journal of a reference renewal, so
// a new token call in the renewal gets its cells by itself. The cells are
// shared out into parts that run side by side, each a test of its own in a
// test lane, one cell after another: the lane's network keeps port 2000 (fixed
// in the program) to the part, and its Wine prefix the one instance the
// program allows per Wine desktop.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <map>
#include <sstream>

#include <p11-kit/pkcs11.h>

#include "res/resource.h"
#include "support/soft_token_tool.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/window_driver.h"

namespace {

using json = nlohmann::json;

const wchar_t renewalCaption[] = L"Продление сертификата на JaCarta ГОСТ";
const wchar_t progressCaption[] = L"Продление сертификата";
const char pin[] = "12345678";
const std::string oldIdHex = "41310b";  // the holder's current CKA_ID
unsigned const killedExitCode = 137;     // the stand-in's kill-after

// The holder, with names Wine's crypt32 quotes as Windows does.
const char *const holderRdns[] = {
    "C=RU", "ST=77 Москва", "L=Москва", "O=ООО \"Ромашка\"", "CN=ООО \"Ромашка\"", "SN=Иванов",
    "GN=Иван Иванович", "INN=NUMERIC:007712345678", "OGRN=NUMERIC:1027700132195", "SNILS=NUMERIC:11223344595",
};

// Texts the renewal shows.
const std::wstring networkError = L"При работе с сетевыми ресурсами возникла ошибка.";
const std::wstring nothingReceived =
    L"Не удалось отправить запрос на сервер.\nВозможно исходящий трафик блокируется сетевым экраном.";
const std::wstring unexpectedReply =
    L"Неожиданный ответ сервера либо соединение было разорвано.\n"
    L"Возможно Вы используете устаревшую версию программы для продления.";
const std::wstring notPaid = L"Продление сертификата не оплачено.";
const std::wstring notFound = L"Сертификат не найден";
// The box after a refused C_CreateObject: the issued certificate in a file,
// whose path stands between these two parts.
const std::wstring savedBefore = L"Новый сертификат выпущен, но записать его на носитель не удалось.\nОн сохранён в файле:\n";
const std::wstring savedAfter =
    L"\nКлючевая пара для него осталась на носителе. Когда на носителе будет место, запишите сертификат командой "
    L"«Записать сертификат из файла» в меню программы.";
// The one box when the certificate request went out whole and no usable
// answer came: the new pair stays.
const std::wstring pairKept =
    L"Удостоверяющий центр мог выпустить новый сертификат, но ответ не получен.\n"
    L"Новая ключевая пара оставлена на носителе. Получите файл сертификата в удостоверяющем центре и запишите его "
    L"на носитель командой «Записать сертификат из файла» в меню программы.";

// A token status as the error box names it.
std::wstring StatusName(const std::string &rv)
{
    static const std::map<std::string, std::wstring> names = {
        {"0x30", L"CKR_DEVICE_ERROR"},           {"0x32", L"CKR_DEVICE_REMOVED"},
        {"0xb3", L"CKR_SESSION_HANDLE_INVALID"}, {"0x90", L"CKR_OPERATION_ACTIVE"},
        {"0x91", L"CKR_OPERATION_NOT_INITIALIZED"},
    };
    auto found = names.find(rv);
    return found == names.end() ? L"status " + Widen(rv) : found->second;
}

std::string SerialOf(const std::string &der);

struct Box {
    std::wstring caption, text;
    bool operator==(const Box &other) const { return caption == other.caption && text == other.text; }
};

// The file a "saved in a file" box names, when the text is that box's.
std::wstring SavedFile(const std::wstring &text)
{
    if (text.size() <= savedBefore.size() + savedAfter.size() || text.compare(0, savedBefore.size(), savedBefore) != 0 ||
        text.compare(text.size() - savedAfter.size(), savedAfter.size(), savedAfter) != 0)
        return L"";
    return text.substr(savedBefore.size(), text.size() - savedBefore.size() - savedAfter.size());
}

// The boxes shown against those expected; a "*" in place of the saved file
// stands for a file that holds exactly a certificate the CA issued.
bool SameBoxes(const std::vector<Box> &shown, const std::vector<Box> &expected, const std::string &caDir)
{
    if (shown.size() != expected.size())
        return false;
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == expected[i])
            continue;
        std::wstring file = SavedFile(shown[i].text);
        if (shown[i].caption != expected[i].caption || SavedFile(expected[i].text) != L"*" || file.empty())
            return false;
        std::ifstream in(file.c_str(), std::ios::binary);
        std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string issued;
        if (saved.empty() || !ReadFileBytes(caDir + "/issued/" + SerialOf(saved) + ".der", issued) || issued != saved)
            return false;
    }
    return true;
}

// ---- Cells -----------------------------------------------------------------

// kind: reference, fail, remove, kill (token cells at `call`), or server.
struct Cell {
    std::string name, kind;
    int call = 0;           // position in the renewal's calls
    std::string function;   // the call's function
    unsigned long before = 0;  // calls of it the program made before this one
    std::string fault;      // testca's --fault for server cells
    int start = -1;         // journal line of the renewal's first call (-1: find it)
};

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

std::string Function(const std::string &line)
{
    return line.substr(0, line.find(' '));
}

std::string Field(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

// The renewal inside a program's journal: from the C_OpenSession of the
// session that logs in to that session's C_CloseSession. {-1, -1} if none.
std::pair<int, int> RenewalCalls(const std::vector<std::string> &journal)
{
    for (size_t login = 0; login < journal.size(); ++login) {
        if (Function(journal[login]) != "C_Login")
            continue;
        std::string session = Field(journal[login], "session");
        int open = -1, close = -1;
        for (size_t i = 0; i < login; ++i)
            if (Function(journal[i]) == "C_OpenSession" && Field(journal[i], "session") == session)
                open = (int)i;
        for (size_t i = login; i < journal.size() && close < 0; ++i)
            if (Function(journal[i]) == "C_CloseSession" && Field(journal[i], "session") == session)
                close = (int)i;
        return {open, close};
    }
    return {-1, -1};
}

// Every cell of the matrix, from the reference renewal's journal.
std::vector<Cell> GenerateCells(const std::vector<std::string> &journal, const std::vector<std::string> &serverFaults)
{
    std::vector<Cell> cells;
    std::pair<int, int> renewal = RenewalCalls(journal);
    for (int i = renewal.first; renewal.first >= 0 && i <= renewal.second; ++i) {
        std::string function = Function(journal[i]);
        unsigned long before = 0;
        for (int j = 0; j < i; ++j)
            before += Function(journal[j]) == function;
        for (const char *kind : {"fail", "remove", "kill"}) {
            Cell cell;
            cell.kind = kind;
            cell.call = i - renewal.first + 1;
            cell.function = function;
            cell.before = before;
            cell.start = renewal.first;
            char name[96];
            snprintf(name, sizeof name, "%02d-%s-%s", cell.call, function.c_str(), kind);
            cell.name = name;
            cells.push_back(cell);
        }
    }
    for (const std::string &fault : serverFaults) {
        Cell cell;
        cell.kind = "server";
        cell.fault = fault;
        cell.start = renewal.first;
        cell.name = "server-" + fault;
        std::replace(cell.name.begin(), cell.name.end(), ':', '-');
        cells.push_back(cell);
    }
    return cells;
}

// ---- What the design gives for a run ---------------------------------------

struct Expected {
    std::vector<Box> boxes;
    bool renewed = false;
};

// What the server's fault does to its exchange: the box, or none when the
// exchange goes through.
std::wstring ExchangeFailure(const std::string &fault, const std::string &exchange)
{
    if (fault.empty())
        return L"";
    size_t colon = fault.rfind(':');
    std::string mode = fault.substr(0, fault.find(':'));
    std::string on = colon == std::string::npos ? "" : fault.substr(colon + 1);
    if (on != exchange && !(on != "pay" && on != "cert"))
        return L"";
    if (mode == "pieces" || mode == "trail" || (mode == "slow" && std::stoi(fault.substr(5)) < 60))
        return L"";
    // The certificate that leads the answer is taken, whatever follows it.
    if (mode == "flood" && exchange == "cert")
        return L"";
    if (exchange == "cert" || mode == "flood")
        return networkError;  // too short, broken, or past the reply bound
    if (mode == "not-paid" || mode == "garbage")
        return notPaid;  // eight bytes or more, and not the paid ones
    if (mode == "short")
        return unexpectedReply;
    return nothingReceived;  // closed, reset or silent with nothing sent
}

// Whether the server's fault leaves the program, after the whole certificate
// request, with no answer or the start of a certificate cut off, however
// short: the new pair then stays for the certificate the centre may have
// issued.
bool PairKeptAfter(const std::string &fault)
{
    if (fault.size() < 5 || fault.compare(fault.size() - 5, 5, ":cert") != 0)
        return false;
    std::string mode = fault.substr(0, fault.find(':'));
    return mode == "close" || mode == "reset" || mode == "not-paid" || mode == "cut" || mode == "cert-128" ||
           mode == "short" || fault == "slow:65:cert";
}

// Walks one program's renewal calls as the renewal procedure makes them and
// gives the boxes its steps show: a box for each failed search call of the
// current certificate's search and of the old objects' removal (which the
// procedure reports and goes on; the searches while the new pair stands
// without its certificate show none), one box for the step that ended the
// run, or the success box. calls may end early (the process was killed).
Expected ExpectedRun(const std::vector<std::string> &calls, const std::string &serverFault)
{
    Expected expected;
    int signs = 0;
    bool generated = false, stored = false;
    std::wstring pendingFailure;  // after the new pair's removal
    Box pendingStep;              // a failed step's box, after the new pair's removal
    unsigned long found = 0;
    auto stepBox = [&](const std::wstring &caption, const std::string &rv) {
        expected.boxes.push_back({caption, StatusName(rv)});
    };
    for (const std::string &line : calls) {
        std::string function = Function(line), rv = Field(line, "rv");
        bool failed = rv != "0x0";
        if (function == "C_FindObjectsInit" || function == "C_FindObjects" || function == "C_FindObjectsFinal") {
            if (failed && !(generated && !stored))
                expected.boxes.push_back({L"Ошибка", Widen(function)});
            // The search asks again until the token gives none or the room
            // is full; a failed call leaves it with nothing.
            if (function == "C_FindObjectsInit")
                found = 0;
            if (function == "C_FindObjects")
                found = failed ? 0 : found + std::stoul(Field(line, "count"));
            if (function == "C_FindObjectsFinal" && signs == 0) {
                if (found == 0)
                    return expected.boxes.push_back({L"Ошибка", notFound}), expected;
                if (found > 1)
                    return expected.boxes.push_back({L"Ошибка", L"Найдено более одного сертификата"}), expected;
            }
            continue;
        }
        if (function == "C_Logout" || function == "C_CloseSession") {
            if (!pendingStep.caption.empty())
                expected.boxes.push_back(pendingStep);
            if (!pendingFailure.empty() && signs == 2 && PairKeptAfter(serverFault))
                expected.boxes.push_back({L"Внимание", pairKept});
            else if (!pendingFailure.empty())
                expected.boxes.push_back({L"Ошибка", pendingFailure});
            else if (stored)
                expected.boxes.push_back({L"Новый сертификат", L"Сертификат был успешно обновлен."});
            expected.renewed = pendingFailure.empty() && stored;
            return expected;
        }
        // Failures that the procedure does not examine.
        if (function == "freeBuffer" || function == "C_DestroyObject")
            continue;
        if (function == "C_OpenSession" && failed)
            return stepBox(L"C_OpenSession", rv), expected;
        if (function == "C_Login" && failed)
            return stepBox(L"C_Login", rv), expected;
        // A step that fails once the new pair exists removes it before its
        // box, quietly.
        bool pairStep = generated && (function == "createCSR" || function == "pkcs7Sign");
        if (pairStep && failed && pendingStep.caption.empty()) {
            pendingStep = {function == "createCSR" ? L"Ошибка формирования запроса на сертификат"
                                                   : L"Ошибка при подписании запроса на сертификат",
                           StatusName(rv)};
            continue;
        }
        if (function == "pkcs7Sign") {
            ++signs;
            if (failed)
                return stepBox(L"Ошибка при подписании запроса на оплату", rv), expected;
            std::wstring failure = ExchangeFailure(serverFault, signs == 1 ? "pay" : "cert");
            if (signs == 1 && !failure.empty())
                return expected.boxes.push_back({L"Ошибка", failure}), expected;
            pendingFailure = failure;
            continue;
        }
        if (function == "C_GenerateKeyPair" && failed)
            return stepBox(L"Ошибка генерации новой ключевой пары", rv), expected;
        generated |= function == "C_GenerateKeyPair";
        if (function == "C_CreateObject") {
            if (failed) {
                stepBox(L"C_CreateObject", rv);
                return expected.boxes.push_back({L"Внимание", savedBefore + L"*" + savedAfter}), expected;
            }
            stored = true;
            continue;
        }
        // Between the certificate exchange and the storage the token's
        // certificates are read for the centre's check: one that cannot be
        // read is passed over, and the holder's current certificate (of the
        // search) still vouches for the centre's key.
    }
    return expected;
}

// ---- The token -------------------------------------------------------------

struct Object {
    unsigned long handle = 0;
    unsigned long objectClass = 0;  // CKO_...
    std::string id, value;          // hex
    json attributes;
};

std::vector<Object> TokenObjects(const std::string &tokenDir)
{
    std::string text;
    std::vector<Object> objects;
    if (!ReadFileBytes(tokenDir + "/slot-0.json", text))
        return objects;
    json slot = json::parse(text, nullptr, false);
    if (slot.is_discarded())
        return objects;
    for (const json &entry : slot["objects"]) {
        Object object;
        object.handle = entry["handle"].get<unsigned long>();
        object.attributes = entry["attributes"];
        std::string cls = object.attributes.value("CKA_CLASS", "");
        object.objectClass = cls.size() >= 2 ? std::stoul(cls.substr(0, 2), nullptr, 16) : 99;
        object.id = object.attributes.value("CKA_ID", "");
        object.value = object.attributes.value("CKA_VALUE", "");
        objects.push_back(object);
    }
    return objects;
}

// The public key a certificate carries, as the token keeps a public key's
// value (X then Y); empty when the value is not a certificate.
std::string CertificateKey(const std::string &der)
{
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der.data(), (DWORD)der.size());
    if (!context)
        return "";
    const CRYPT_BIT_BLOB &key = context->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    std::string octets((const char *)key.pbData, key.cbData);
    CertFreeCertificateContext(context);
    return octets.size() >= 64 ? octets.substr(octets.size() - 64) : "";
}

std::string SerialOf(const std::string &der)
{
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der.data(), (DWORD)der.size());
    if (!context)
        return "";
    std::string serial;
    const CRYPT_INTEGER_BLOB &number = context->pCertInfo->SerialNumber;
    for (DWORD i = number.cbData; i > 0; --i) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X", number.pbData[i - 1]);
        serial += hex;
    }
    CertFreeCertificateContext(context);
    return serial;
}

// The token's state against the rule of a renewal: a working certificate
// (its key pair beside it) always; the old objects unchanged until a new
// certificate is stored; a new certificate only as the CA issued it, for the
// new private key. Empty when it holds; what is wrong otherwise. state gets
// "old kept", "new stored" or both.
std::string CheckInvariant(const std::vector<Object> &before, const std::vector<Object> &after,
                           const std::string &caDir, std::string &state)
{
    std::vector<const Object *> oldObjects, newCertificates;
    for (const Object &object : after) {
        if (object.id == oldIdHex)
            oldObjects.push_back(&object);
        else if (object.objectClass == CKO_CERTIFICATE)
            newCertificates.push_back(&object);
    }
    bool oldKept = oldObjects.size() == before.size();
    for (size_t i = 0; oldKept && i < before.size(); ++i)
        oldKept = oldObjects[i]->handle == before[i].handle && oldObjects[i]->attributes == before[i].attributes;
    state = oldKept ? "old kept" : "";
    if (newCertificates.empty())
        return oldKept ? "" : "the old certificate or key changed before a new certificate was stored";
    state += std::string(state.empty() ? "" : ", ") + "new stored";
    for (const Object *certificate : newCertificates) {
        std::string der = FromHexText(certificate->value);
        std::string issued;
        if (!ReadFileBytes(caDir + "/issued/" + SerialOf(der) + ".der", issued) || issued != der)
            return "a new certificate is not one the CA issued";
        bool publicKey = false, privateKey = false;
        for (const Object &object : after) {
            if (object.id != certificate->id)
                continue;
            publicKey |= object.objectClass == CKO_PUBLIC_KEY && FromHexText(object.value) == CertificateKey(der);
            privateKey |= object.objectClass == CKO_PRIVATE_KEY;
        }
        if (!publicKey || !privateKey)
            return "a new certificate is not for its new key pair";
    }
    return "";
}

// The certificate the CA issued in this cell against the holder's payment
// (its issued/ copy), empty when it issued none.
std::string IssuedInCell(const std::string &caDir)
{
    std::string ledger;
    ReadFileBytes(caDir + "/ledger", ledger);
    size_t used = ledger.find(" used ");
    if (used == std::string::npos)
        return "";
    std::string serial = ledger.substr(used + 6);
    serial = serial.substr(0, serial.find_first_of("\r\n "));
    std::string der;
    ReadFileBytes(caDir + "/issued/" + serial + ".der", der);
    return der;
}

// After a server cell that did not renew: the new pair stays exactly when the
// answer may have been lost, and then it is the pair of the certificate the
// CA issued (if it issued one, as it does unless it refused). Empty when so.
std::string CheckNewPair(const std::vector<Object> &after, const std::string &fault, const std::string &caDir)
{
    std::vector<const Object *> fresh;
    for (const Object &object : after)
        if (object.id != oldIdHex)
            fresh.push_back(&object);
    if (!PairKeptAfter(fault))
        return fresh.empty() ? "" : "the new pair was not removed";
    if (fresh.size() != 2 || fresh[0]->id != fresh[1]->id)
        return "the new pair was not kept";
    std::string issued = IssuedInCell(caDir);
    if (issued.empty())
        return fault.compare(0, 9, "not-paid:") == 0 ? "" : "the CA issued no certificate";
    for (const Object *object : fresh)
        if (object->objectClass == CKO_PUBLIC_KEY && FromHexText(object->value) == CertificateKey(issued))
            return "";
    return "the kept pair is not the issued certificate's";
}

// ---- Driving the program ---------------------------------------------------

struct CellRun {
    std::string dir, tokenDir, journal, caDir;
};

// What went wrong while a cell was driven (lanes run outside any test).
std::vector<std::string> driveProblems;

std::string Unix(const std::string &command, int timeoutSeconds = 120)
{
    std::string output;
    int code = RunUnix(command, &output, timeoutSeconds);
    if (code != 0)
        driveProblems.push_back(command.substr(0, 80) + ": " + output);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return output;
}

std::string Testca(const std::string &arguments)
{
    return Unix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " " + arguments);
}

int StartServer(const CellRun &run, const std::string &fault)
{
    std::string log = run.dir + "/serve.log";
    // Certificates it issues are due again at once, so that a restarted
    // program can renew the one it made.
    int pid = StartUnix(ShellQuote(TestEnv("KESTRAVA_TESTCA")) + " serve " + ShellQuote(run.caDir) +
                            " --not-after +20d" + (fault.empty() ? "" : " --fault " + fault),
                        log);
    for (int waited = 0; pid && waited < 10000; waited += 50) {
        std::string text;
        if (ReadFileBytes(log, text) && text.find("listening on 127.0.0.1:2000") != std::string::npos)
            return pid;
        Sleep(50);
    }
    driveProblems.push_back("the renewal server did not start");
    return pid;
}

// The program's message boxes and dialogs other than those of the renewal.
std::vector<HWND> Boxes(DWORD processId)
{
    std::vector<HWND> boxes;
    for (HWND window : TopLevelWindows(processId, L"#32770")) {
        std::wstring caption = WindowText(window);
        if (IsWindowVisible(window) && caption != renewalCaption && caption != progressCaption)
            boxes.push_back(window);
    }
    return boxes;
}

bool Cleared(HWND dialog)
{
    return !IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)) && ControlText(dialog, IDC_SUBJECT).empty();
}

struct ProgramRun {
    RunningProgram program;
    HWND dialog = nullptr;
    std::vector<Box> boxes;
    bool renewed = false;
    bool killed = false;
    int listed = -1;      // rows of the certificate list
    std::string failure;  // how the run could not be driven
};

// Whether the program has ended within waitMs; a kill-after ending is
// expected, any other is the run's failure.
bool ProgramEnded(ProgramRun &result, DWORD waitMs)
{
    if (WaitForSingleObject(result.program.process, waitMs) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(result.program.process, &code);
    result.killed = code == killedExitCode;
    if (!result.killed)
        result.failure = "the program ended with code " + std::to_string(code);
    return true;
}

// Starts the program, chooses the certificate at row, confirms and gives the
// PIN, then answers every box until the renewal ends or the process does.
ProgramRun RenewOnce(const CellRun &run, int row)
{
    ProgramRun result;
    result.program = StartProgram(L"kestrava.exe", {{L"SOFTTOKEN_DIR", WindowsPath(run.tokenDir)},
                                                    {L"SOFTTOKEN_JOURNAL", WindowsPath(run.journal)}});
    DWORD id = result.program.processId;
    HWND dialog = result.dialog = WaitForWindow(renewalCaption, L"#32770", 30000, id);
    if (!dialog || !ClickButton(dialog, IDC_CHOOSE))
        return result.failure = "no renewal dialog", result;
    HWND list = WaitForWindow(L"Сертификаты", L"#32770", 30000, id);
    if (!list)
        return result.failure = "no certificate list", result;
    HWND listView = GetDlgItem(list, IDC_CERT_LIST);
    result.listed = (int)SendMessageW(listView, LVM_GETITEMCOUNT, 0, 0);
    PostMessageW(listView, WM_KEYDOWN, VK_HOME, 0);
    for (int i = 0; i < row; ++i)
        PostMessageW(listView, WM_KEYDOWN, VK_DOWN, 0);
    for (int waited = 0; SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0) != row && waited < 5000; waited += 50)
        Sleep(50);
    ClickButton(list, IDOK);
    for (int waited = 0; !IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)) && waited < 10000; waited += 50)
        Sleep(50);
    HWND confirm = nullptr;
    if (!ClickButton(dialog, IDC_RENEW) || !(confirm = WaitForWindow(L"Внимание", L"#32770", 15000, id)))
        return result.failure = "no confirmation", result;
    ClickButton(confirm, IDYES);
    HWND pinDialog = WaitForWindow(L"PIN-код ГОСТ", L"#32770", 15000, id);
    if (!pinDialog)
        return result.failure = "no PIN dialog", result;
    SetControlText(pinDialog, IDC_PIN, Widen(pin).c_str());
    ClickButton(pinDialog, IDOK);
    WaitForWindowGone(pinDialog, 10000);

    // The progress dialog, unless the process ends first (killed as the
    // renewal opens its session).
    HWND progress = nullptr;
    for (int waited = 0; waited < 15000 && WaitForSingleObject(result.program.process, 0) == WAIT_TIMEOUT; waited += 50) {
        if ((progress = WaitForWindow(progressCaption, L"#32770", 0, id)) != nullptr)
            break;
        Sleep(50);
    }
    for (DWORD start = GetTickCount(); GetTickCount() - start < 240000;) {
        if (ProgramEnded(result, 0))
            return result;
        for (HWND box : Boxes(id)) {
            Box shown;
            if (!ReadMadeBox(box, shown.caption, shown.text))
                continue;
            result.boxes.push_back(shown);
            ClickButton(box, IDOK);
            WaitForWindowGone(box, 10000);
        }
        if (progress && !IsWindow(progress))
            break;
        if (!progress)
            progress = WaitForWindow(progressCaption, L"#32770", 50, id);
        Sleep(30);
    }
    if (ProgramEnded(result, 0))
        return result;
    if (progress && IsWindow(progress))
        return result.failure = "the renewal did not end", result;
    // The renewal dialog clears its choice after a renewal and keeps it after
    // a failure, at once when the progress dialog is gone, before its thread
    // takes the next message: once it has answered one, the choice is there
    // to read. A window that does not answer may have gone with the process,
    // killed just now.
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer) && ProgramEnded(result, 300))
        return result;
    result.renewed = Cleared(dialog);
    return result;
}

// The program still answers, and "Выход" (the menu's command) ends it with 0.
std::string ExitCleanly(ProgramRun &run)
{
    DWORD_PTR answer = 0;
    HWND mainWindow = FindWindowW(L"ZR51_KESTRAVA", L"Kestrava");
    if (!mainWindow || !SendMessageTimeoutW(run.dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer))
        return "the program does not answer";
    PostMessageW(mainWindow, WM_COMMAND, ID_EXIT, 0);
    HWND question = WaitForWindow(L"Внимание", L"#32770", 15000, run.program.processId);
    if (!question || MessageBoxText(question) != L"Выйти из программы?")
        return "no exit question";
    ClickButton(question, IDYES);
    int code = WaitForExit(run.program, 30000);
    KillProgram(run.program);
    return code == 0 ? "" : "exit code " + std::to_string(code);
}

// Calls after the program's first C_Finalize, and sessions the program opened
// and never tried to close before it.
std::string CheckJournalEnd(const std::vector<std::string> &journal)
{
    size_t finalize = 0;
    while (finalize < journal.size() && Function(journal[finalize]) != "C_Finalize")
        ++finalize;
    if (finalize == journal.size())
        return "no C_Finalize";
    for (size_t i = finalize; i < journal.size(); ++i)
        if (Function(journal[i]) != "C_Finalize")
            return "after C_Finalize: " + journal[i];
    for (size_t i = 0; i < finalize; ++i) {
        if (Function(journal[i]) != "C_OpenSession" || Field(journal[i], "rv") != "0x0")
            continue;
        bool closed = false;
        for (size_t j = i; j < finalize && !closed; ++j)
            closed = Function(journal[j]) == "C_CloseSession" && Field(journal[j], "session") == Field(journal[i], "session");
        if (!closed)
            return "session " + Field(journal[i], "session") + " left open";
    }
    return "";
}

std::string Describe(const std::vector<Box> &boxes)
{
    std::string text;
    for (const Box &box : boxes) {
        std::wstring first = box.text.substr(0, box.text.find(L'\n'));
        std::string line = Narrow(first.size() > 48 ? first.substr(0, 45) + L"..." : first);
        text += (text.empty() ? "" : " | ") + Narrow(box.caption) + ": " + line;
    }
    return text.empty() ? "(none)" : text;
}

// The holder gets the certificate the centre issued (its issued/ copy) and
// writes it with "Записать сертификат из файла..." in the running program.
// Empty when the program says it wrote it; what went wrong otherwise.
std::string WriteIssuedCertificate(const ProgramRun &program, const CellRun &run, const std::string &issued)
{
    DWORD id = program.program.processId;
    std::string file = run.dir + "/from-centre.cer";
    HWND mainWindow = FindWindowW(L"ZR51_KESTRAVA", L"Kestrava");
    if (!mainWindow || !WriteFileBytes(file, issued))
        return "writing: no main window";
    PostMessageW(mainWindow, WM_COMMAND, ID_WRITE_CERTIFICATE, 0);
    HWND open = WaitForWindow(L"Файл сертификата", L"#32770", 15000, id);
    if (!open || !ChooseFileInDialog(open, WindowsPath(file)))
        return "writing: no open-file dialog";
    HWND pinDialog = WaitForWindow(L"PIN-код ГОСТ", L"#32770", 15000, id);
    if (!pinDialog)
        return "writing: no PIN dialog";
    SetControlText(pinDialog, IDC_PIN, Widen(pin).c_str());
    ClickButton(pinDialog, IDOK);
    std::vector<Box> shown;
    HWND progress = WaitForWindow(L"Запись сертификата", L"#32770", 5000, id);
    for (DWORD start = GetTickCount(); progress && IsWindow(progress) && GetTickCount() - start < 60000;) {
        for (HWND box : Boxes(id)) {
            Box one;
            if (WindowText(box) == L"Запись сертификата" || !ReadMadeBox(box, one.caption, one.text))
                continue;
            shown.push_back(one);
            ClickButton(box, IDOK);
            WaitForWindowGone(box, 10000);
        }
        Sleep(30);
    }
    std::vector<Box> success = {{L"Новый сертификат", L"Сертификат записан на носитель."}};
    return shown == success ? "" : "writing: " + Describe(shown);
}

struct CellResult {
    std::string boxes, result, invariant, problems;
    unsigned long seconds = 0;
};

std::vector<std::string> ReadJournal(const std::string &path)
{
    std::string text;
    ReadFileBytes(path, text);
    return Lines(text);
}

// The cell's token fault, written into the store as the stand-in's tool
// would (without starting it: a cell is a few seconds).
bool SetTokenFault(const std::string &tokenDir, const Cell &cell)
{
    if (cell.kind != "fail" && cell.kind != "remove" && cell.kind != "kill")
        return true;
    bool library = cell.kind == "fail" && cell.function == "freeBuffer";
    std::string file = tokenDir + (library ? "/library.json" : "/slot-0.json");
    std::string text;
    ReadFileBytes(file, text);
    json store = library ? json{{"functions", json::array()}} : json::parse(text, nullptr, false);
    if (store.is_discarded())
        return false;
    json &faults = library ? store : store["faults"];
    if (cell.kind == "fail")
        faults["functions"] = json::array({{{"function", cell.function}, {"rv", 0x30}, {"after", cell.before},
                                            {"once", true}}});
    else
        faults[cell.kind == "remove" ? "removeAfter" : "killAfter"] = {{"function", cell.function},
                                                                      {"count", cell.before + 1}};
    return WriteFileBytes(file, store.dump(1));
}

// One cell, start to end, with every check; the template holds the holder's
// token and CA as the cell starts from them.
CellResult RunCell(const Cell &cell, const std::string &templateDir, const std::string &work)
{
    driveProblems.clear();
    DWORD started = GetTickCount();
    CellRun run;
    run.dir = work + "/" + cell.name;
    run.tokenDir = run.dir + "/token";
    run.caDir = run.dir + "/ca";
    run.journal = run.dir + "/journal.log";
    Unix("rm -rf " + ShellQuote(run.dir) + " && mkdir -p " + ShellQuote(run.dir) + " && cp -r " +
         ShellQuote(templateDir + "/token") + " " + ShellQuote(templateDir + "/ca") + " " + ShellQuote(run.dir));
    SetEnvironmentVariableW(L"SOFTTOKEN_DIR", WindowsPath(run.tokenDir).c_str());
    std::vector<Object> before = TokenObjects(run.tokenDir);
    CellResult result;
    std::vector<std::string> problems;
    if (!SetTokenFault(run.tokenDir, cell))
        problems.push_back("the token fault could not be set");
    int server = StartServer(run, cell.fault);
    ProgramRun first = RenewOnce(run, 0);
    std::vector<std::string> journal = ReadJournal(run.journal);
    // Up to the renewal the program makes the reference's calls.
    int from = cell.start >= 0 ? cell.start : RenewalCalls(journal).first;
    if (from < 0)
        from = (int)journal.size();
    // The renewal's calls as they happened, up to the exit.
    std::vector<std::string> calls;
    for (int i = from; i < (int)journal.size() && Function(journal[i]) != "C_Finalize"; ++i)
        calls.push_back(journal[i]);
    Expected expected = ExpectedRun(calls, cell.fault);
    if (!first.failure.empty())
        problems.push_back(first.failure);
    if (!SameBoxes(first.boxes, expected.boxes, run.caDir))
        problems.push_back("boxes: expected " + Describe(expected.boxes));
    result.boxes = Describe(first.boxes);

    if (cell.kind == "kill") {
        if (!first.killed)
            problems.push_back("not killed at the call");
        else if (journal.empty() || Function(journal.back()) != cell.function)
            problems.push_back("killed after " + (journal.empty() ? std::string("nothing") : journal.back()));
        KillProgram(first.program);
        result.result = "killed";
        std::string state;
        std::string broken = CheckInvariant(before, TokenObjects(run.tokenDir), run.caDir, state);
        if (!broken.empty())
            problems.push_back("after the kill: " + broken);
        // Started again: the certificate the token now works with (the new
        // one once it is stored) is renewed, paid for again if the payment
        // was used up.
        std::vector<Object> objects = TokenObjects(run.tokenDir);
        int row = 0, certificates = 0;
        std::string chosen;
        for (const Object &object : objects) {
            if (object.objectClass != CKO_CERTIFICATE)
                continue;
            if (object.id != oldIdHex || chosen.empty()) {
                row = certificates;
                chosen = object.value;
            }
            ++certificates;
        }
        Testca("pay " + ShellQuote(run.caDir) + " " + SerialOf(FromHexText(chosen)));
        Unix(": > " + ShellQuote(run.journal));
        ProgramRun again = RenewOnce(run, row);
        std::vector<Box> success = {{L"Новый сертификат", L"Сертификат был успешно обновлен."}};
        if (!again.failure.empty() || !(again.boxes == success) || !again.renewed)
            problems.push_back("restarted: " + again.failure + " " + Describe(again.boxes));
        if (again.listed != certificates)
            problems.push_back("restarted: " + std::to_string(again.listed) + " of " + std::to_string(certificates) +
                               " certificates listed");
        std::string chosenLeft;
        for (const Object &object : TokenObjects(run.tokenDir))
            if (object.value == chosen)
                chosenLeft = "the renewed certificate is still there";
        if (!chosenLeft.empty())
            problems.push_back(chosenLeft);
        result.result = again.renewed ? "killed, then 1" : "killed, then 0";
        first = again;
    } else {
        result.result = first.renewed ? "1" : "0";
        if (first.renewed != expected.renewed)
            problems.push_back(std::string("result: expected ") + (expected.renewed ? "1" : "0"));
    }

    std::string state;
    std::vector<Object> objectsNow = TokenObjects(run.tokenDir);
    std::string broken = cell.kind == "kill" ? "" : CheckInvariant(before, objectsNow, run.caDir, state);
    if (cell.kind == "kill") {
        // After a completed second renewal the holder has the new certificate.
        broken = CheckInvariant({}, objectsNow, run.caDir, state);
        state = "new stored";
    } else if (expected.renewed != (state.find("new stored") != std::string::npos)) {
        broken = "the token does not match the result";
    }
    result.invariant = broken.empty() ? state : "BROKEN: " + broken;
    if (!broken.empty())
        problems.push_back(broken);
    // A token call that fails before the certificate request goes out leaves
    // no new pair behind: nothing can have been issued for it. Only a refused
    // certificate object keeps its pair (and the certificate in a file).
    if (cell.kind == "fail" && !first.renewed && cell.function != "C_CreateObject") {
        bool same = objectsNow.size() == before.size();
        for (size_t i = 0; same && i < before.size(); ++i)
            same = objectsNow[i].handle == before[i].handle && objectsNow[i].attributes == before[i].attributes;
        if (!same)
            problems.push_back("the token is not as it was before the renewal");
    }
    if (cell.kind == "server" && !first.renewed) {
        std::string pair = CheckNewPair(objectsNow, cell.fault, run.caDir);
        if (!pair.empty())
            problems.push_back(pair);
        else if (PairKeptAfter(cell.fault))
            result.invariant += ", new pair kept";
        // The centre issued a certificate whose answer was lost: written from
        // its file, it stands beside its pair, the old objects as they were.
        std::string issued = IssuedInCell(run.caDir);
        if (pair.empty() && PairKeptAfter(cell.fault) && !issued.empty() && first.failure.empty()) {
            std::string written = WriteIssuedCertificate(first, run, issued);
            std::string writtenState;
            std::vector<Object> objectsWritten = TokenObjects(run.tokenDir);
            if (written.empty())
                written = CheckInvariant(before, objectsWritten, run.caDir, writtenState);
            size_t issuedObjects = 0;
            for (const Object &object : objectsWritten)
                issuedObjects += FromHexText(object.value) == issued ? 1 : 0;
            if (written.empty() && (writtenState != "old kept, new stored" || issuedObjects != 1))
                written = "writing: the token holds " + writtenState;
            if (written.empty())
                result.invariant += ", then written from its file";
            else
                problems.push_back(written);
        }
    }
    // A renewal reported done has taken the old objects, also when the token
    // stumbled once on one of them.
    if (first.renewed && (cell.kind == "server" || cell.function == "C_DestroyObject") && cell.kind != "remove" &&
        cell.kind != "kill")
        for (const Object &object : objectsNow)
            if (object.id == oldIdHex) {
                problems.push_back("old objects left beside the new");
                break;
            }

    if (first.failure.empty()) {
        std::string exit = ExitCleanly(first);
        if (!exit.empty())
            problems.push_back(exit);
        std::string end = CheckJournalEnd(ReadJournal(run.journal));
        if (!end.empty())
            problems.push_back(end);
    }
    KillProgram(first.program);
    StopUnix(server);
    problems.insert(problems.end(), driveProblems.begin(), driveProblems.end());
    result.seconds = (GetTickCount() - started + 500) / 1000;
    for (const std::string &problem : problems)
        result.problems += (result.problems.empty() ? "" : "; ") + problem;
    return result;
}

// ---- The matrix ------------------------------------------------------------

// The holder's token and CA, as every cell starts from them.
void MakeTemplate(const std::string &dir)
{
    std::string tokenDir = dir + "/token", caDir = dir + "/ca";
    SetEnvironmentVariableW(L"SOFTTOKEN_DIR", WindowsPath(tokenDir).c_str());
    Unix("mkdir -p " + ShellQuote(tokenDir));
    ASSERT_TRUE(MakeTestCa(caDir));
    ASSERT_EQ(0, RunSoftToken({"init", "0", "--pin", pin}));
    ASSERT_EQ(0, RunSoftToken({"keygen", "0", "--id", oldIdHex}));
    ASSERT_EQ(0, RunSoftToken({"csr", "0", "--id", oldIdHex, "--out", dir + "/old.csr", "--subject", "2.5.4.3=x"}));
    std::vector<std::string> rdns(std::begin(holderRdns), std::end(holderRdns));
    std::string serial = MintCertificate(caDir, dir + "/old.der", rdns,
                                         "--csr " + ShellQuote(dir + "/old.csr") + " --not-before -340d --not-after +20d");
    ASSERT_FALSE(serial.empty());
    ASSERT_EQ(0, RunSoftToken({"import-cert", "0", "--id", oldIdHex, "--label", "Иванов", "--file", dir + "/old.der"}));
    Testca("pay " + ShellQuote(caDir) + " " + serial);
}

// A cell's rough length in seconds: a killed program is started twice, and
// a slow server keeps the program waiting up to its silence limit (and a
// little over it).
int CellSeconds(const Cell &cell)
{
    int seconds = cell.kind == "kill" ? 12 : 6;
    if (cell.fault.compare(0, 5, "slow:") == 0)
        seconds += std::min(64, atoi(cell.fault.c_str() + 5));
    return seconds;
}

// The cells of one part (1 to parts), in the matrix's order. The longest
// cells are shared out first, each to the part with the least to do so far,
// so that the parts end together; the same cells always give the same parts.
std::vector<Cell> PartOf(const std::vector<Cell> &cells, int part, int parts)
{
    std::vector<size_t> order(cells.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&cells](size_t a, size_t b) { return CellSeconds(cells[a]) > CellSeconds(cells[b]); });
    std::vector<int> load(parts, 0);
    std::vector<bool> mine(cells.size(), false);
    for (size_t index : order) {
        size_t least = std::min_element(load.begin(), load.end()) - load.begin();
        load[least] += CellSeconds(cells[index]);
        mine[index] = (int)least == part - 1;
    }
    std::vector<Cell> chosen;
    for (size_t i = 0; i < cells.size(); ++i)
        if (mine[i])
            chosen.push_back(cells[i]);
    return chosen;
}

std::vector<std::string> ServerFaults()
{
    std::vector<std::string> faults;
    for (const char *exchange : {"pay", "cert"}) {
        // slow:65 stays silent past the program's 60 s limit.
        for (const char *mode : {"not-paid", "close", "reset", "short:7", "garbage", "pieces", "slow:2", "slow:65", "flood"})
            faults.push_back(std::string(mode) + ":" + exchange);
    }
    faults.push_back("cert-128:cert");
    faults.push_back("cut:100:cert");
    faults.push_back("cut:300:cert");
    faults.push_back("other-key:cert");
    faults.push_back("trail:2:cert");
    return faults;
}

// ---- The parts agree -------------------------------------------------------

// Each part takes its share by position in the cell list it made from its own
// reference renewal: the shares make up the matrix only when every part made
// the same list. So each part leaves its list and its share in the run's
// folder (KESTRAVA_MATRIX_LISTS, made anew for each run), and each compares
// them all once its cells are done. A part that started in this run is waited
// for; one that did not start is not running in it (one part run again by
// hand) and is left out, said so.
struct PartLists {
    std::string folder;
    int part = 1, parts = 1;
    bool written = false;

    std::string File(int which, const char *kind) const
    {
        return folder + "/part-" + std::to_string(which) + "." + kind;
    }
    void Started() const { WriteFileBytes(File(part, "started"), "started\n"); }
    // Written whole or not at all: a peer may read it at any moment.
    void Write(const std::string &text)
    {
        std::string file = File(part, "cells");
        WriteFileBytes(file + ".new", text);
        written = MoveFileExW(WindowsPath(file + ".new").c_str(), WindowsPath(file).c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    // A part that stopped before its list tells its peers not to wait.
    ~PartLists()
    {
        if (!folder.empty() && !written)
            Write("no list\n");
    }
};

// A part's file: "list", the cells in order, "share", the cells it runs.
std::string PartText(const std::vector<Cell> &cells, const std::vector<Cell> &share)
{
    std::string text = "list\n";
    for (const Cell &cell : cells)
        text += cell.name + "\n";
    text += "share\n";
    for (const Cell &cell : share)
        text += cell.name + "\n";
    return text;
}

// What is wrong between the parts' lists and shares (empty when they agree);
// notes gets the parts that were not there to compare.
std::string ComparePartLists(const PartLists &lists, const std::vector<Cell> &cells, std::string &notes)
{
    std::vector<std::string> names;
    for (const Cell &cell : cells)
        names.push_back(cell.name);
    std::map<std::string, int> runs;
    bool everyPart = true;
    std::string problems;
    DWORD waitUntil = GetTickCount() + 300000;  // for the lists of parts that started
    for (int other = 1; other <= lists.parts; ++other) {
        std::string text, started;
        if (!ReadFileBytes(lists.File(other, "started"), started)) {
            notes += " part " + std::to_string(other) + " did not run in this run;";
            everyPart = false;
            continue;
        }
        while (!ReadFileBytes(lists.File(other, "cells"), text) && (LONG)(waitUntil - GetTickCount()) > 0)
            Sleep(1000);
        std::vector<std::string> lines = Lines(text);
        auto share = std::find(lines.begin(), lines.end(), "share");
        if (lines.empty() || lines.front() != "list" || share == lines.end()) {
            problems += " part " + std::to_string(other) + " left no cell list;";
            everyPart = false;
            continue;
        }
        std::vector<std::string> list(lines.begin() + 1, share);
        if (list != names) {
            size_t at = 0;
            while (at < list.size() && at < names.size() && list[at] == names[at])
                ++at;
            problems += " part " + std::to_string(other) + " has " + std::to_string(list.size()) + " cells, this part " +
                        std::to_string(names.size()) + "; at " + std::to_string(at + 1) + " it has " +
                        (at < list.size() ? list[at] : "none") + ", this part " + (at < names.size() ? names[at] : "none") + ";";
        }
        for (auto name = share + 1; name != lines.end(); ++name)
            ++runs[*name];
    }
    if (everyPart && problems.empty()) {
        for (const std::string &name : names)
            if (runs[name] != 1)
                problems += " " + name + " runs in " + std::to_string(runs[name]) + " parts;";
        for (const auto &run : runs)
            if (std::find(names.begin(), names.end(), run.first) == names.end())
                problems += " " + run.first + " runs but is not in the list;";
    }
    return problems;
}

// KESTRAVA_MATRIX_PART=k/n runs the k-th of n parts of the cells; every
// part makes its own template and reference renewal, so that the parts need
// not wait for one another. KESTRAVA_MATRIX_ONLY=part,part... runs only the
// cells whose names hold one of the parts (to look into a few by hand).
TEST(RenewalMatrix, EveryTokenCallAndEveryServerFaultLeavesAWorkingCertificate)
{
    int part = 1, parts = 1;
    std::string partText = TestEnv("KESTRAVA_MATRIX_PART");
    ASSERT_TRUE(partText.empty() || (sscanf(partText.c_str(), "%d/%d", &part, &parts) == 2 && part >= 1 &&
                                     part <= parts))
        << partText;
    PartLists lists;
    lists.part = part;
    lists.parts = parts;
    if (parts > 1) {
        lists.folder = TestEnv("KESTRAVA_MATRIX_LISTS");
        ASSERT_FALSE(lists.folder.empty()) << "no folder for the parts to compare their cell lists in: scripts/test gives "
                                              "one in KESTRAVA_MATRIX_LISTS";
        Unix("mkdir -p " + ShellQuote(lists.folder));
        lists.Started();
    }
    std::string work = FreshWorkDir("renewal-matrix");
    MakeTemplate(work + "/template");
    ASSERT_FALSE(HasFatalFailure());

    // The reference: one complete renewal.
    Cell reference;
    reference.name = "reference";
    reference.kind = "reference";
    CellResult referenceResult = RunCell(reference, work + "/template", work);
    ASSERT_EQ("1", referenceResult.result) << referenceResult.boxes << " " << referenceResult.problems;
    ASSERT_EQ("", referenceResult.problems);
    std::vector<std::string> journal = ReadJournal(work + "/reference/journal.log");

    std::vector<Cell> cells = GenerateCells(journal, ServerFaults());
    ASSERT_GT(cells.size(), 60u);
    std::string only = TestEnv("KESTRAVA_MATRIX_ONLY");
    if (!only.empty()) {
        std::vector<Cell> chosen;
        for (const Cell &cell : cells) {
            std::istringstream names(only);
            for (std::string name; std::getline(names, name, ',');)
                if (cell.name.find(name) != std::string::npos) {
                    chosen.push_back(cell);
                    break;
                }
        }
        cells = chosen;
    }
    std::vector<Cell> mine = PartOf(cells, part, parts);
    if (parts > 1)
        lists.Write(PartText(cells, mine));
    DWORD started = GetTickCount();
    std::map<std::string, CellResult> results;
    for (const Cell &cell : mine)
        results[cell.name] = RunCell(cell, work + "/template", work);

    // The part's table, printed and kept beside the cells' folders.
    char heading[200];
    snprintf(heading, sizeof heading, "Renewal matrix, part %d of %d: %zu of %zu cells from %d renewal calls, %lu s\n\n",
             part, parts, mine.size(), cells.size(), RenewalCalls(journal).second - RenewalCalls(journal).first + 1,
             (GetTickCount() - started) / 1000);
    std::string table = std::string(heading) + "| cell | boxes | result | invariant | verdict | s |\n|---|---|---|---|---|---|\n";
    for (const Cell &cell : mine) {
        const CellResult &result = results[cell.name];
        std::string verdict = result.problems.empty() ? "ok" : "FAIL: " + result.problems;
        table += "| " + cell.name + " | " + result.boxes + " | " + result.result + " | " + result.invariant + " | " +
                 verdict + " | " + std::to_string(result.seconds) + " |\n";
        EXPECT_EQ("ok", verdict) << cell.name;
    }
    WriteFileBytes(work + "/matrix.md", table);
    printf("\n%s", table.c_str());
    fflush(stdout);

    if (parts > 1) {
        std::string notes;
        EXPECT_EQ("", ComparePartLists(lists, cells, notes)) << "the parts' cell lists";
        if (!notes.empty())
            printf("Not compared:%s\n", notes.c_str());
    }
}

}  // namespace
