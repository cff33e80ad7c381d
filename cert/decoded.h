// What crypt32 decodes into memory of its own, held until the end of the
// holder's scope.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <memory>

struct LocalMemoryFree {
    void operator()(void *memory) const { LocalFree(memory); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalMemoryFree>;

// The structure of structType that data holds; null when it holds none.
template <typename T>
Decoded<T> Decode(LPCSTR structType, const BYTE *data, DWORD size, DWORD flags = 0)
{
    void *decoded = nullptr;
    DWORD decodedSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, structType, data, size, flags | CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &decoded, &decodedSize))
        return nullptr;
    return Decoded<T>(static_cast<T *>(decoded));
}
