// Crypt32's text calls, and the code-page conversions after them, tell the
// room they need when given none: ask, allocate that much, call again.
#pragma once

#include <windows.h>

// call(buffer, room) fills buffer and returns the room the text needs in
// units, its terminator included; given no buffer it only returns that room.
// Returns the text in a new[] buffer that the caller deletes, terminated
// even when the second call fell short; null when the text is empty.
template <typename Unit, typename Call> Unit *SizedText(Call call)
{
    DWORD length = (DWORD)call(nullptr, 0);
    if (length <= 1)
        return nullptr;
    Unit *text = new Unit[length];
    text[0] = 0;
    call(text, length);
    text[length - 1] = 0;
    return text;
}

// The UTF-8 form of a terminated wide text, as above.
inline char *Utf8Text(const wchar_t *wide)
{
    return SizedText<char>([&](char *buffer, DWORD room) {
        return WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, (int)room, nullptr, nullptr);
    });
}
