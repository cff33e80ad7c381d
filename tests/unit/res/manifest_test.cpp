// The application manifest of the built kestrava.exe, read through an
// activation context as Windows reads it when the program starts.
#include <gtest/gtest.h>

#include "support/unix_command.h"

#include <windows.h>

#include <string>

namespace {

typedef BOOL(WINAPI *QuerySettingsFunction)(DWORD, HANDLE, PCWSTR, PCWSTR, PWSTR, SIZE_T, SIZE_T *);

// A setting of the manifest's windowsSettings; "(none)" when it has none.
std::wstring Setting(HANDLE context, const wchar_t *space, const wchar_t *name)
{
    QuerySettingsFunction query =
        (QuerySettingsFunction)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryActCtxSettingsW");
    wchar_t value[256] = L"";
    SIZE_T written = 0;
    if (!query || !query(0, context, space, name, value, 256, &written))
        return L"(none)";
    return value;
}

TEST(Manifest, DeclaresPerMonitorScalingWithSystemScalingForOlderWindows)
{
    std::wstring exe = WindowsPath(TestEnv("KESTRAVA_BIN")) + L"\\kestrava.exe";
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = exe.c_str();
    request.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(INVALID_HANDLE_VALUE, context) << "kestrava.exe has no manifest to start with";

    // Windows 10 from 1703 takes per monitor v2; the Windows before it, which
    // would scale per monitor without telling the dialogs, the system's scale.
    EXPECT_EQ(L"PerMonitorV2, System",
              Setting(context, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"));
    EXPECT_EQ(L"true", Setting(context, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"));
    ReleaseActCtx(context);
}

}  // namespace
