#include "renewal/certificate_file.h"

#include <shlobj.h>

#include <cwchar>

// How many numbered names are tried when the plain one is taken.
static const int NAME_ATTEMPTS = 20;

// The identifier's characters that may stand in a file name.
static void PrintableName(const CK_BYTE *id, CK_ULONG idLength, wchar_t *name, size_t room)
{
    size_t used = 0;
    for (CK_ULONG i = 0; i < idLength && used + 1 < room; ++i)
        if (id[i] > 0x20 && id[i] < 0x7F && wcschr(L"\\/:*?\"<>|", id[i]) == nullptr)
            name[used++] = id[i];
    name[used] = 0;
}

// Writes the bytes into a file that did not exist; a half-written file is
// removed. ERROR_FILE_EXISTS is left for the caller to try another name.
static bool WriteNewFile(const wchar_t *file, const CK_BYTE *der, unsigned int length)
{
    HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool whole = WriteFile(handle, der, length, &written, nullptr) && written == length && FlushFileBuffers(handle);
    CloseHandle(handle);
    if (!whole) {
        DeleteFileW(file);
        SetLastError(ERROR_WRITE_FAULT);
    }
    return whole;
}

bool SaveIssuedCertificate(const CK_BYTE *der, unsigned int length, const CK_BYTE *id, CK_ULONG idLength,
                           wchar_t path[MAX_PATH])
{
    wchar_t documents[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return false;
    wchar_t folder[MAX_PATH];
    if (swprintf(folder, MAX_PATH, L"%ls\\Kestrava", documents) < 0)
        return false;
    if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    wchar_t name[64];
    PrintableName(id, idLength, name, 64);
    if (name[0] == 0)
        wcscpy(name, L"Kestrava");

    for (int attempt = 1; attempt <= NAME_ATTEMPTS; ++attempt) {
        wchar_t file[MAX_PATH];
        int written = attempt == 1 ? swprintf(file, MAX_PATH, L"%ls\\%ls.cer", folder, name)
                                   : swprintf(file, MAX_PATH, L"%ls\\%ls (%d).cer", folder, name, attempt);
        if (written < 0)
            return false;
        if (WriteNewFile(file, der, length)) {
            wcscpy(path, file);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}
