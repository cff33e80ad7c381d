// Token library statuses shown to the user.
#pragma once

#include <windows.h>

#include "token/token_library.h"

// The fixed text for rv (the PKCS#11 name, a Russian PIN text, or
// "Unknown function"), narrow, code page 1251.
const char *TokenStatusText(CK_RV rv);

// Shows TokenStatusText(rv) in a topmost error box captioned caption (narrow,
// code page 1251), owned by owner (may be null).
int ShowTokenError(const char *caption, CK_RV rv, HWND owner);
