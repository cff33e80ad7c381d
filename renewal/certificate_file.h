// Keeping an issued certificate that the token would not take.
#pragma once

#include <windows.h>

#include "token/token_library.h"

// Saves the certificate (DER) in the user's Documents folder as
// Kestrava\<the identifier's printable characters>.cer, making the folder if
// needed and never overwriting a file (a taken name gets " (2)" and so on).
// True with the file's full path in path.
bool SaveIssuedCertificate(const CK_BYTE *der, unsigned int length, const CK_BYTE *id, CK_ULONG idLength,
                           wchar_t path[MAX_PATH]);
