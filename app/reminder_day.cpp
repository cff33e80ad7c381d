// The day record under HKCU\Software\Kestrava\Reminders: one DWORD value a
// reminder, named for what it reminded of, holding the day it was shown. The
// running copy also keeps today's names, so that a check of many
// certificates asks the registry once a day for each, not at every check.
#include "app/reminder_day.h"

#include <cwchar>
#include <set>

namespace {

const wchar_t remindersKey[] = L"Software\\Kestrava\\Reminders";

// The names this copy knows to have been reminded of on knownDay.
DWORD knownDay = 0;
std::set<std::wstring> knownReminded;

// Days past say nothing any more: their values go, so that the key keeps
// only today's.
void ForgetOtherDays(HKEY key, DWORD today)
{
    DWORD values = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(16384);
    for (DWORD i = values; i-- > 0;) {
        DWORD nameLength = (DWORD)name.size(), type = 0, day = 0, size = sizeof day;
        LONG result = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, (BYTE *)&day, &size);
        if (result == ERROR_SUCCESS && !(type == REG_DWORD && size == sizeof day && day == today))
            RegDeleteValueW(key, name.data());
    }
}

// What the copy knows holds for one day only.
void KnowDay(DWORD day)
{
    if (knownDay != day) {
        knownDay = day;
        knownReminded.clear();
    }
}

}  // namespace

DWORD DayNumber(const SYSTEMTIME &day)
{
    return day.wYear * 10000u + day.wMonth * 100u + day.wDay;
}

HKEY OpenReminders()
{
    HKEY key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, remindersKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS ? key : nullptr;
}

bool RemindedOn(HKEY reminders, const std::wstring &name, DWORD day)
{
    KnowDay(day);
    if (knownReminded.count(name))
        return true;
    DWORD type = 0, noted = 0, size = sizeof noted;
    bool reminded = reminders &&
                    RegQueryValueExW(reminders, name.c_str(), nullptr, &type, (BYTE *)&noted, &size) == ERROR_SUCCESS &&
                    type == REG_DWORD && size == sizeof noted && noted == day;
    if (reminded)
        knownReminded.insert(name);
    return reminded;
}

void NoteRemindedOn(const std::vector<std::wstring> &names, DWORD day)
{
    KnowDay(day);
    knownReminded.insert(names.begin(), names.end());
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, remindersKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    ForgetOtherDays(key, day);
    for (const std::wstring &name : names)
        RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&day, sizeof day);
    RegCloseKey(key);
}

std::wstring CertificateValueName(const CertRecord &record)
{
    wchar_t issuer[1024] = L"";
    CertNameToStrW(X509_ASN_ENCODING, &record.certContext->pCertInfo->Issuer, CERT_X500_NAME_STR, issuer, 1024);
    wchar_t serial[128];
    MultiByteToWideChar(CP_ACP, 0, record.serialHex, -1, serial, 128);
    serial[127] = 0;
    return std::wstring(L"certificate ") + serial + L" " + issuer;
}

std::wstring PairValueName(const UnfinishedRenewal &pair)
{
    std::wstring name = L"pair ";
    for (const char *c = pair.tokenSerial; *c; ++c)
        name += (wchar_t)(unsigned char)*c;
    name += L" ";
    for (CK_ULONG i = 0; i < pair.idLength; ++i) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02x", pair.id[i]);
        name += hex;
    }
    return name;
}
