// Narrow texts in code page 1251 shown in the wide message box.
#include "token/message_box_1251.h"

#include <string>

static std::wstring From1251(const char *text)
{
    int length = text ? MultiByteToWideChar(1251, 0, text, -1, nullptr, 0) : 0;
    if (length <= 1)
        return std::wstring();
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(1251, 0, text, -1, &wide[0], length);
    wide.resize(length - 1);
    return wide;
}

int MessageBox1251(HWND owner, const char *text, const char *caption, UINT type)
{
    std::wstring wideText = From1251(text);
    std::wstring wideCaption = From1251(caption);
    return MessageBoxW(owner, wideText.c_str(), caption ? wideCaption.c_str() : nullptr, type);
}
