// Certificate files: keeping an issued certificate that the token would not
// take, and reading the files that certification centres send.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "token/token_library.h"

// Saves the certificate (DER) as <the identifier's printable characters>.cer
// in the first place that takes it: Documents\Kestrava, then
// %LOCALAPPDATA%\Kestrava (folders made if needed), then the temporary
// folder. Never overwrites a file (a taken name gets " (2)" and so on) and
// never cuts a name to fit: a path too long fails that place. True with the
// file's full path in path.
bool SaveIssuedCertificate(const CK_BYTE *der, unsigned int length, const CK_BYTE *id, CK_ULONG idLength,
                           wchar_t path[MAX_PATH]);

// Every certificate the file holds, in order, each with exactly its own
// encoding: DER; PEM or Base64, one certificate or several; PKCS#7 bundles,
// DER or PEM. The caller frees them. False when the file cannot be opened or
// read; true with none when it holds no certificate.
bool ReadCertificateFile(const wchar_t *path, std::vector<PCCERT_CONTEXT> &certificates);
