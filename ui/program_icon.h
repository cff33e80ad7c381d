// The program's icon (icon group 101) at the sizes Windows uses at the
// screen's scale, for the notification area and the dialogs.
#pragma once

#include <windows.h>

// ICON_SMALL: the small-icon size (the notification area, list rows);
// ICON_BIG: the big-icon size (dialogs, the taskbar). Loaded once and kept
// for the life of the process: callers never destroy it.
HICON ProgramIcon(int which);
