// The renewal dialog: the program's working window. Modeless, owned by the
// hidden main window, at most one open at a time.
#include "ui/renewal_dialog.h"

#include "app/main_window.h"
#include "res/resource.h"

HWND renewalDialog = nullptr;

// Dialog-box function for the renewal dialog.
INT_PTR CALLBACK RenewalDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: {
        if (renewalDialog) {
            // Every way of opening the dialog creates one; a second one is
            // dropped before it shows, and the open one (or the modal dialog
            // it is waiting on) comes forward instead.
            DestroyWindow(dialog);
            SetForegroundWindow(GetLastActivePopup(renewalDialog));
            return TRUE;
        }
        renewalDialog = dialog;
        SendMessageW(dialog, WM_SETICON, ICON_BIG,
                     (LPARAM)LoadIconW(appInstance, MAKEINTRESOURCEW(IDI_KESTRAVA)));
        return TRUE;
    }
    case WM_COMMAND: {
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            // A modeless dialog is closed by destroying it; WM_DESTROY forgets it.
            DestroyWindow(dialog);
            return TRUE;
        }
        return FALSE;
    }
    case WM_DESTROY: {
        // Also reached when the main window goes and takes its dialogs along.
        if (renewalDialog == dialog)
            renewalDialog = nullptr;
        return FALSE;
    }
    }
    return FALSE;
}
