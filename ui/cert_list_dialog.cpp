// The certificate list dialog: one row per record of certList, in list order,
// so that a row's index is the record's index. The choice goes back through
// selectedIndex.
#include "ui/cert_list_dialog.h"

#include <commctrl.h>
#include <cryptuiapi.h>

#include "cert/cert_record.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "token/search.h"
#include "token/token_work.h"
#include "ui/program_icon.h"

namespace {

int const columnCount = 4;
const wchar_t *const header[columnCount] = {
    L"Имя", L"Издатель", L"Действителен с", L"Действителен по",
};

wchar_t const viewerTitle[] = L"Сертификат";
wchar_t const undecodedText[] =
    L"Этот объект носителя не удалось прочитать как сертификат.\n"
    L"Показать его нельзя.";
wchar_t const undecodedCaption[] = L"Внимание";

void FillRows(HWND listView)
{
    // Every insertion would repaint the list: it is painted once, after.
    SendMessageW(listView, WM_SETREDRAW, FALSE, 0);
    int count = certList.count();
    SendMessageW(listView, LVM_SETITEMCOUNT, count, 0);
    for (int i = 0; i < count; ++i) {
        CertRecord record = certList.get(i);
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = i;
        item.pszText = record.subjectName;
        item.iImage = 0;
        SendMessageW(listView, LVM_INSERTITEMW, 0, (LPARAM)&item);

        wchar_t *subitems[] = {record.issuerName, record.validFromText, record.validToText};
        for (int column = 1; column < columnCount; ++column) {
            LVITEMW text = {};
            text.iSubItem = column;
            text.pszText = subitems[column - 1];
            SendMessageW(listView, LVM_SETITEMTEXTW, i, (LPARAM)&text);
        }
    }
    SendMessageW(listView, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(listView, nullptr, TRUE);
}

// The marked row, or -1 when there is none or it no longer names a record.
int MarkedRow(HWND listView)
{
    int mark = (int)SendMessageW(listView, LVM_GETSELECTIONMARK, 0, 0);
    return mark >= 0 && mark < certList.count() ? mark : -1;
}

// Shows the marked certificate, or the first one when no row is marked. An
// empty list shows nothing, and a value that did not decode is only reported:
// the viewer is never given a missing certificate.
void ViewCertificate(HWND dialog, HWND listView)
{
    if (certList.count() <= 0)
        return;
    CertRecord record = certList.get(MarkedRow(listView));
    if (!record.certContext) {
        MessageBoxW(dialog, undecodedText, undecodedCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    CryptUIDlgViewContext(CERT_STORE_CERTIFICATE_CONTEXT, record.certContext, dialog,
                          viewerTitle, 0, nullptr);
}

}  // namespace

static int InsertListColumns(HWND listView, int columns, const wchar_t *const titles[])
{
    RECT client;
    GetClientRect(listView, &client);
    int result = -1;
    for (int i = 0; i < columns; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = LVCFMT_LEFT;
        column.cx = (client.right - client.left) / columns;
        column.pszText = const_cast<wchar_t *>(titles[i]);
        result = (int)SendMessageW(listView, LVM_INSERTCOLUMNW, i, (LPARAM)&column);
        if (result == -1)
            break;
    }
    return result;
}

// Dialog-box function for the certificate list dialog.
INT_PTR CALLBACK CertListDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG: {
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)ProgramIcon(ICON_BIG));
        HWND listView = GetDlgItem(dialog, IDC_CERT_LIST);
        InsertListColumns(listView, columnCount, header);
        LRESULT style = SendMessageW(listView, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
        SendMessageW(listView, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style | LVS_EX_FULLROWSELECT);
        // The list view owns its image list (no LVS_SHAREIMAGELISTS) and
        // destroys it with itself.
        // The rows' icon at the small-icon size of the screen's scale.
        HIMAGELIST images = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                             ILC_COLOR32 | ILC_MASK, 1, 1);
        ImageList_ReplaceIcon(images, -1, ProgramIcon(ICON_SMALL));
        SendMessageW(listView, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)images);
        FillRows(listView);
        return TRUE;
    }
    case WM_COMMAND: {
        HWND listView = GetDlgItem(dialog, IDC_CERT_LIST);
        switch (LOWORD(wParam)) {
        case IDOK:
            selectedIndex = MarkedRow(listView);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_CERT_REFRESH:
            if (RefuseSecondTokenWork(dialog))
                return TRUE;
            DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_SEARCH), dialog, SearchDialogProc, 0);
            SendMessageW(listView, LVM_DELETEALLITEMS, 0, 0);
            FillRows(listView);
            return TRUE;
        case IDC_CERT_VIEW:
            ViewCertificate(dialog, listView);
            return TRUE;
        }
        return FALSE;
    }
    }
    return FALSE;
}
