#include "ui/program_icon.h"

#include "res/app_instance.h"
#include "res/resource.h"

HICON ProgramIcon(int which)
{
    // The group holds the sizes of every usual scale; the system metrics give
    // the one this screen's scale asks for.
    static HICON smallIcon = nullptr;
    static HICON bigIcon = nullptr;
    bool small = which == ICON_SMALL;
    HICON &icon = small ? smallIcon : bigIcon;
    if (!icon) {
        int width = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
        int height = GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
        icon = (HICON)LoadImageW(appInstance, MAKEINTRESOURCEW(IDI_KESTRAVA), IMAGE_ICON, width, height,
                                 LR_DEFAULTCOLOR);
    }
    return icon;
}
