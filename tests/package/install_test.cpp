// The installer package as a certification centre's administrator deploys
// it: msiexec installs it silently for all users, the program starts from its
// Start-menu shortcut and ends through its menu, it starts quietly at logon
// unless AUTOSTART=0 says otherwise, a newer package replaces an older one,
// no version goes in twice, and removal leaves nothing behind.
// Runs in a Wine prefix of its own (tests/package/in_fresh_prefix).
#include <gtest/gtest.h>

#include "support/unix_command.h"
#include "support/window_driver.h"

#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>
#include <vector>

namespace {

const wchar_t *const UPGRADE_CODE = L"{6C1E5F0A-3B7D-4E2A-9C41-8D2F7A5B9E13}";
const wchar_t *const RENEWAL_CAPTION = L"Продление сертификата на JaCarta ГОСТ";
UINT const INSTALL_FAILURE = 1603;
const char *const OLDER_VERSION = "0.9";

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names in a folder, without "." and "..".
std::vector<std::wstring> FolderContents(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

struct Product {
    std::wstring code;
    std::wstring version;
};

// The Kestrava products Windows Installer has on record, by upgrade code.
std::vector<Product> InstalledProducts()
{
    std::vector<Product> products;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(UPGRADE_CODE, 0, i, code) == ERROR_SUCCESS; ++i) {
        wchar_t version[64] = L"";
        DWORD length = 64;
        MsiGetProductInfoW(code, INSTALLPROPERTY_VERSIONSTRING, version, &length);
        products.push_back({code, version});
    }
    return products;
}

std::wstring ProductInfo(const std::wstring &code, const wchar_t *property)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD length = MAX_PATH;
    if (MsiGetProductInfoW(code.c_str(), property, value, &length) != ERROR_SUCCESS)
        return L"(none)";
    return value;
}

struct Shortcut {
    std::wstring target;
    std::wstring icon;
};

Shortcut ReadShortcut(const std::wstring &path)
{
    Shortcut shortcut;
    IShellLinkW *link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link)))
        return shortcut;
    IPersistFile *file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH] = L"";
            if (SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, 0)))
                shortcut.target = text;
            int index = 0;
            text[0] = 0;
            if (SUCCEEDED(link->GetIconLocation(text, MAX_PATH, &index)))
                shortcut.icon = text;
        }
        file->Release();
    }
    link->Release();
    return shortcut;
}

// A text value under HKLM, or "(none)".
std::wstring MachineValue(const wchar_t *key, const wchar_t *name)
{
    wchar_t value[MAX_PATH + 16] = L"";
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"(none)";
    return value;
}

// What Windows starts at every user's logon under the name Kestrava, or
// "(none)".
std::wstring StartAtLogon()
{
    return MachineValue(L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"Kestrava");
}

bool SameFile(const std::wstring &a, const std::wstring &b)
{
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

// Whether a file of the Windows side (C:) holds the same bytes as one of
// the Linux side.
bool SameBytes(const std::wstring &windowsPath, const std::string &unixPath)
{
    HANDLE file = CreateFileW(windowsPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    std::string expected;
    return ReadFileBytes(unixPath, expected) && bytes == expected;
}

class InstallerPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        // The token's own software puts the vendor's library where every
        // program finds it; the stand-in plays that part here.
        wchar_t system[MAX_PATH];
        GetSystemDirectoryW(system, MAX_PATH);
        CopyFileW((WindowsPath(TestEnv("KESTRAVA_BIN")) + L"\\jcPKCS11.dll").c_str(),
                  (std::wstring(system) + L"\\jcPKCS11.dll").c_str(), FALSE);
    }

    void SetUp() override
    {
        work = FreshWorkDir(std::string("package-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        installFolder = Folder(CSIDL_PROGRAM_FILES) + L"\\Kestrava";
        // On Windows a per-machine shortcut goes to all users' Programs
        // folder; Wine 8 puts it into the installing user's.
        shortcutPlaces = {Folder(CSIDL_COMMON_PROGRAMS) + L"\\Kestrava.lnk",
                          Folder(CSIDL_PROGRAMS) + L"\\Kestrava.lnk"};
        ASSERT_TRUE(InstalledProducts().empty()) << "the prefix is fresh";
    }

    void TearDown() override
    {
        // A program left running would keep its file from being removed.
        KillProgram(program);
        for (const Product &product : InstalledProducts())
            Msiexec(L"/x " + product.code + L" /qn");
    }

    // Makes a package of the built kestrava.exe with scripts/make_msi.
    std::wstring MakePackage(const std::string &version, const std::string &name)
    {
        std::string package = work + "/" + name + ".msi";
        std::string output;
        int status = RunUnix(ShellQuote(TestEnv("KESTRAVA_SOURCE") + "/scripts/make_msi") + " " +
                                     ShellQuote(TestEnv("KESTRAVA_BIN") + "/kestrava.exe") + " " + version + " " +
                                     ShellQuote(package),
                             &output);
        EXPECT_EQ(0, status) << output;
        return WindowsPath(package);
    }

    int Msiexec(const std::wstring &arguments)
    {
        wchar_t system[MAX_PATH];
        GetSystemDirectoryW(system, MAX_PATH);
        return RunProgram(std::wstring(system) + L"\\msiexec.exe", arguments, {}, 180000);
    }

    int Install(const std::wstring &package, const std::wstring &properties = L"")
    {
        return Msiexec(L"/i \"" + package + L"\" /qn" + properties);
    }

    // The one shortcut the package made, or "" when there is none.
    std::wstring FindShortcut()
    {
        std::wstring found;
        for (const std::wstring &place : shortcutPlaces) {
            if (Exists(place)) {
                EXPECT_TRUE(found.empty()) << "two shortcuts";
                found = place;
            }
        }
        return found;
    }

    void ExpectNothingLeft()
    {
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_FALSE(Exists(installFolder)) << "files left in Program Files";
        for (const std::wstring &place : shortcutPlaces)
            EXPECT_FALSE(Exists(place)) << Narrow(place);
        EXPECT_EQ(L"(none)", StartAtLogon());
        EXPECT_EQ(L"(none)", MachineValue(L"Software\\Kestrava", L"AutoStart")) << "the kept choice stays";
    }

    std::string work;
    std::wstring installFolder;
    std::vector<std::wstring> shortcutPlaces;
    RunningProgram program;
};

// Right click on the icon, "Выход", "Да": the program ends with 0 and its
// icon goes.
void EndThroughTheMenu(RunningProgram &program)
{
    ASSERT_EQ(1u, TrayIcons().size());
    HWND menu = nullptr;
    // Wine's tray window now and then drops a click that comes right after
    // another window appeared; a user would click again.
    for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
        ClickWindow(TrayIcons().front(), true);
        menu = WaitForPopupMenu(program.processId, 3000);
    }
    ASSERT_NE(nullptr, menu);
    std::vector<MenuItem> items = ReadMenu(menu);
    ASSERT_EQ(4u, items.size());
    ASSERT_EQ(L"Выход", items[3].text);
    ASSERT_TRUE(ClickMenuItem(menu, 3));
    HWND question = WaitForWindow(L"Внимание", L"#32770", 5000, program.processId);
    ASSERT_NE(nullptr, question);
    EXPECT_EQ(L"Выйти из программы?", MessageBoxText(question));
    ASSERT_TRUE(ClickButton(question, IDYES));
    EXPECT_EQ(0, WaitForExit(program, 15000));
    EXPECT_TRUE(TrayIcons().empty());
}

TEST_F(InstallerPackage, InstallsForAllUsersRunsFromItsShortcutAndUninstallsWithoutATrace)
{
    std::wstring package = MakePackage(KESTRAVA_VERSION, "current");
    ASSERT_EQ(0, Install(package));

    std::vector<Product> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(Widen(KESTRAVA_VERSION), products[0].version);
    wchar_t version[64];
    DWORD length = 64;
    EXPECT_EQ((UINT)ERROR_SUCCESS,
              MsiGetProductInfoExW(products[0].code.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE,
                                   INSTALLPROPERTY_VERSIONSTRING, version, &length))
        << "installed for all users";
    EXPECT_EQ(L"Команда Kestrava", ProductInfo(products[0].code, INSTALLPROPERTY_PUBLISHER));

    // The program alone: the vendor's library is never part of the package.
    std::wstring exe = installFolder + L"\\kestrava.exe";
    EXPECT_EQ(std::vector<std::wstring>{L"kestrava.exe"}, FolderContents(installFolder));
    // The package's own (stripped) program, as the package holds it.
    std::string output;
    ASSERT_EQ(0, RunUnix("cd " + ShellQuote(work) + " && msiextract -C extracted current.msi", &output)) << output;
    EXPECT_TRUE(SameBytes(exe, work + "/extracted/Program Files/Kestrava/kestrava.exe"));
    EXPECT_EQ(L"\"" + exe + L"\" /tray", StartAtLogon());

    // The program's icon on the shortcut and in "Programs and Features".
    std::string icon = TestEnv("KESTRAVA_SOURCE") + "/res/kestrava.ico";
    std::wstring productIcon = ProductInfo(products[0].code, INSTALLPROPERTY_PRODUCTICON);
    EXPECT_TRUE(SameBytes(productIcon, icon)) << Narrow(productIcon);
    std::wstring shortcutPath = FindShortcut();
    ASSERT_FALSE(shortcutPath.empty()) << "no Start-menu shortcut";
    Shortcut shortcut = ReadShortcut(shortcutPath);
    EXPECT_TRUE(SameFile(exe, shortcut.target)) << Narrow(shortcut.target);
    EXPECT_TRUE(SameBytes(shortcut.icon, icon)) << Narrow(shortcut.icon);

    // Started as the shortcut starts it.
    std::string journal = work + "/journal.txt";
    program = StartProgram(shortcut.target, {{L"SOFTTOKEN_JOURNAL", WindowsPath(journal)}});
    ASSERT_NE(nullptr, program.process);
    EXPECT_NE(nullptr, WaitForWindow(RENEWAL_CAPTION, L"#32770", 20000, program.processId));
    EXPECT_TRUE(SaveScreenshot("package-installed-program"));
    EndThroughTheMenu(program);
    std::string calls;
    ReadFileBytes(journal, calls);
    EXPECT_NE(std::string::npos, calls.find("C_Finalize rv=0x0")) << calls;

    EXPECT_EQ(0, Msiexec(L"/x \"" + package + L"\" /qn"));
    ExpectNothingLeft();
    EXPECT_FALSE(Exists(productIcon)) << "the icon of \"Programs and Features\" stays";
}

TEST_F(InstallerPackage, ReplacesAnOlderVersionAndNeverInstallsAVersionTwice)
{
    ASSERT_EQ(0, Install(MakePackage(OLDER_VERSION, "older"), L" AUTOSTART=0"));
    ASSERT_EQ(1u, InstalledProducts().size());
    EXPECT_EQ(Widen(OLDER_VERSION), InstalledProducts()[0].version);
    EXPECT_EQ(L"(none)", StartAtLogon()) << "installed with AUTOSTART=0";

    std::wstring package = MakePackage(KESTRAVA_VERSION, "current");
    ASSERT_EQ(0, Install(package));
    std::vector<Product> installed = InstalledProducts();
    ASSERT_EQ(1u, installed.size()) << "the older version is replaced";
    EXPECT_EQ(Widen(KESTRAVA_VERSION), installed[0].version);
    EXPECT_TRUE(Exists(installFolder + L"\\kestrava.exe"));
    EXPECT_FALSE(FindShortcut().empty());
    EXPECT_EQ(L"(none)", StartAtLogon()) << "AUTOSTART=0 holds over an upgrade without the property";

    // Another build of the same version, and the older one again: refused,
    // and what is installed stays.
    struct Refused {
        const char *name;
        std::string version;
    } const refused[] = {{"rebuilt", KESTRAVA_VERSION}, {"older-again", OLDER_VERSION}};
    for (const Refused &other : refused) {
        EXPECT_EQ((int)INSTALL_FAILURE, Install(MakePackage(other.version, other.name))) << other.name;
        std::vector<Product> now = InstalledProducts();
        ASSERT_EQ(1u, now.size()) << other.name;
        EXPECT_EQ(installed[0].code, now[0].code) << other.name;
        EXPECT_TRUE(Exists(installFolder + L"\\kestrava.exe")) << other.name;
    }

    EXPECT_EQ(0, Msiexec(L"/x \"" + package + L"\" /qn"));
    ExpectNothingLeft();
}

// Packages made before the choice about the start at logon was kept: the
// upgrade finds the machine as such a package left it, and keeps it so.
TEST_F(InstallerPackage, AnUpgradeFromAPackageThatKeptNoChoiceKeepsTheStartAtLogonAsItWas)
{
    std::wstring older = MakePackage(OLDER_VERSION, "older-no-choice");
    std::string output;
    ASSERT_EQ(0, RunUnix("msibuild " + ShellQuote(UnixPath(older)) +
                                 " -q \"DELETE FROM \\`Registry\\` WHERE \\`Name\\` = 'AutoStart'\"",
                         &output))
        << output;
    std::wstring current = MakePackage(KESTRAVA_VERSION, "current");
    struct Row {
        const char *name;
        const wchar_t *olderProperties;
        bool startsAtLogon;
    } const rows[] = {{"without", L" AUTOSTART=0", false}, {"with", L"", true}};
    std::wstring exe = installFolder + L"\\kestrava.exe";
    for (const Row &row : rows) {
        ASSERT_EQ(0, Install(older, row.olderProperties)) << row.name;
        EXPECT_EQ(L"(none)", MachineValue(L"Software\\Kestrava", L"AutoStart")) << row.name << ": a choice was kept";
        std::wstring run = row.startsAtLogon ? L"\"" + exe + L"\" /tray" : L"(none)";
        EXPECT_EQ(run, StartAtLogon()) << row.name << ", before the upgrade";
        ASSERT_EQ(0, Install(current)) << row.name;
        std::vector<Product> installed = InstalledProducts();
        ASSERT_EQ(1u, installed.size()) << row.name;
        EXPECT_EQ(Widen(KESTRAVA_VERSION), installed[0].version) << row.name;
        EXPECT_EQ(run, StartAtLogon()) << row.name << ", after the upgrade";
        EXPECT_EQ(0, Msiexec(L"/x \"" + current + L"\" /qn")) << row.name;
        ExpectNothingLeft();
    }
}

}  // namespace
