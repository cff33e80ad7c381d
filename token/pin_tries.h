// The token's own word on its PIN tries, heard before the PIN is asked for.
#pragma once

#include <windows.h>

#include "token/token_library.h"

// Whether the PIN dialog may follow for the token in slot. False after one
// warning box, owned by owner, when the token's user PIN is locked (refusal
// says what cannot be done, "Продление невозможно"), and when the holder
// answers "Нет" to the question before the token's last try. True otherwise,
// also when the token does not say: the login then reports what it finds.
bool PinMayBeAsked(HWND owner, CK_SLOT_ID slot, const wchar_t *refusal);
