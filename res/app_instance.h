// The module instance handle that every dialog, icon and image of the program
// is loaded through. Stored once by InitMainWindow, before any of them is
// loaded; declared down here so that every folder may use it.
#pragma once

#include <windows.h>

extern HINSTANCE appInstance;
