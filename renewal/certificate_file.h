// Keeping an issued certificate that the token would not take.
#pragma once

#include <windows.h>

#include "token/token_library.h"

// Saves the certificate (DER) as <the identifier's printable characters>.cer
// in the first place that takes it: Documents\Kestrava, then
// %LOCALAPPDATA%\Kestrava (folders made if needed), then the temporary
// folder. Never overwrites a file (a taken name gets " (2)" and so on) and
// never cuts a name to fit: a path too long fails that place. True with the
// file's full path in path.
bool SaveIssuedCertificate(const CK_BYTE *der, unsigned int length, const CK_BYTE *id, CK_ULONG idLength,
                           wchar_t path[MAX_PATH]);
