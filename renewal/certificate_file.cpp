#include "renewal/certificate_file.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "cert/certificate_object.h"
#include "renewal/formats.h"

// Far above any certificate file, bundles and PEM included; a larger file
// holds none.
static const DWORD MAX_CERTIFICATE_FILE = 1024 * 1024;
static const char PEM_BEGIN[] = "-----BEGIN";

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

// folder\name suffix in path, when it fits whole with its terminating zero.
static bool JoinPath(const wchar_t *folder, const wchar_t *name, const wchar_t *suffix, wchar_t path[MAX_PATH])
{
    if (wcslen(folder) + 1 + wcslen(name) + wcslen(suffix) >= MAX_PATH)
        return false;
    wcscpy(path, folder);
    wcscat(path, L"\\");
    wcscat(path, name);
    wcscat(path, suffix);
    return true;
}

// The Kestrava folder inside a folder of the user's, made if needed; false
// when it cannot be, or something that is not a folder stands in its way.
static bool KestravaFolderIn(int csidl, wchar_t folder[MAX_PATH])
{
    wchar_t base[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base)) ||
        !JoinPath(base, L"Kestrava", L"", folder))
        return false;
    CreateDirectoryW(folder, nullptr);
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static bool TemporaryFolder(wchar_t folder[MAX_PATH])
{
    DWORD length = GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH)
        return false;
    if (folder[length - 1] == L'\\')
        folder[length - 1] = 0;
    return true;
}

// The first free name in the folder; false when the folder will not take
// the file (or every name tried is taken).
static bool SaveInFolder(const wchar_t *folder, const wchar_t *name, const CK_BYTE *der, unsigned int length,
                         wchar_t path[MAX_PATH])
{
    for (int attempt = 1; attempt <= NAME_ATTEMPTS; ++attempt) {
        wchar_t suffix[24] = L".cer";
        if (attempt > 1)
            swprintf(suffix, 24, L" (%d).cer", attempt);
        wchar_t file[MAX_PATH];
        if (!JoinPath(folder, name, suffix, file))
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

bool SaveIssuedCertificate(const CK_BYTE *der, unsigned int length, const CK_BYTE *id, CK_ULONG idLength,
                           wchar_t path[MAX_PATH])
{
    wchar_t name[64];
    PrintableName(id, idLength, name, 64);
    if (name[0] == 0)
        wcscpy(name, L"Kestrava");

    wchar_t folder[MAX_PATH];
    return (KestravaFolderIn(CSIDL_PERSONAL, folder) && SaveInFolder(folder, name, der, length, path)) ||
           (KestravaFolderIn(CSIDL_LOCAL_APPDATA, folder) && SaveInFolder(folder, name, der, length, path)) ||
           (TemporaryFolder(folder) && SaveInFolder(folder, name, der, length, path));
}

// The certificates of one object, a certificate or a PKCS#7 bundle, in the
// given formats. Bytes after a certificate are not kept with it.
static void AddCertificatesOf(const BYTE *bytes, DWORD length, DWORD formats, std::vector<PCCERT_CONTEXT> &certificates)
{
    for (PCCERT_CONTEXT each : CertificatesInObject(bytes, length, formats)) {
        unsigned int own = DerElementLength(each->pbCertEncoded, each->cbCertEncoded);
        PCCERT_CONTEXT exact =
            own == 0 ? nullptr : CertCreateCertificateContext(X509_ASN_ENCODING, each->pbCertEncoded, own);
        CertFreeCertificateContext(each);
        if (exact)
            certificates.push_back(exact);
    }
}

// crypt32 decodes only the first PEM block of a text: each block goes to it
// on its own, from its BEGIN line to the next.
static bool AddCertificatesOfPemBlocks(const std::vector<BYTE> &bytes, std::vector<PCCERT_CONTEXT> &certificates)
{
    const char *text = (const char *)bytes.data();
    const char *end = text + bytes.size();
    const char *block = std::search(text, end, PEM_BEGIN, PEM_BEGIN + strlen(PEM_BEGIN));
    if (block == end)
        return false;
    while (block != end) {
        const char *next = std::search(block + 1, end, PEM_BEGIN, PEM_BEGIN + strlen(PEM_BEGIN));
        DWORD length = 0;
        if (CryptStringToBinaryA(block, (DWORD)(next - block), CRYPT_STRING_BASE64HEADER, nullptr, &length, nullptr,
                                 nullptr) &&
            length > 0) {
            std::vector<BYTE> der(length);
            if (CryptStringToBinaryA(block, (DWORD)(next - block), CRYPT_STRING_BASE64HEADER, der.data(), &length,
                                     nullptr, nullptr))
                AddCertificatesOf(der.data(), length, CERT_QUERY_FORMAT_FLAG_BINARY, certificates);
        }
        block = next;
    }
    return true;
}

bool ReadCertificateFile(const wchar_t *path, std::vector<PCCERT_CONTEXT> &certificates)
{
    // Shared for writing too: a mail client may still hold the file it saved.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    std::vector<BYTE> bytes;
    bool read = GetFileSizeEx(file, &size);
    if (read && size.QuadPart > 0 && size.QuadPart <= MAX_CERTIFICATE_FILE) {
        bytes.resize((size_t)size.QuadPart);
        DWORD got = 0;
        read = ReadFile(file, bytes.data(), (DWORD)bytes.size(), &got, nullptr) && got == bytes.size();
    }
    CloseHandle(file);
    if (!read || bytes.empty())
        return read;

    // Binary first: a DER file may hold any text, a PEM header among it.
    AddCertificatesOf(bytes.data(), (DWORD)bytes.size(), CERT_QUERY_FORMAT_FLAG_BINARY, certificates);
    if (certificates.empty() && !AddCertificatesOfPemBlocks(bytes, certificates))
        AddCertificatesOf(bytes.data(), (DWORD)bytes.size(), CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED, certificates);
    return true;
}
