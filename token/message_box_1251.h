// Message boxes whose texts the program keeps narrow, in code page 1251.
#pragma once

#include <windows.h>

// MessageBoxW with text and caption read as code page 1251, whatever the
// system's ANSI code page: a narrow box would read them in that code page
// and garble them on a Windows that is not set up for Cyrillic. Owner, type
// and result as for MessageBoxW; a null caption gives the system's own.
int MessageBox1251(HWND owner, const char *text, const char *caption, UINT type);
