#include "token/pin_dialog.h"

#include "res/resource.h"

char pinBuffer[100];

// Dialog-box function for the PIN dialog: the PIN goes to pinBuffer on "Ok".
INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND: {
        switch (LOWORD(wParam)) {
        case IDOK:
            GetWindowTextA(GetDlgItem(dialog, IDC_PIN), pinBuffer, sizeof pinBuffer);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    }
    return FALSE;
}
