// The renewal dialog: the program's working window. Modeless, owned by the
// hidden main window, at most one open at a time. The user chooses a
// certificate, sees its holder, and renews it when it is due.
#include "ui/renewal_dialog.h"

#include <commctrl.h>

#include <string>

#include "cert/cert_record.h"
#include "renewal/renewal_procedure.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "token/search.h"
#include "token/token_work.h"
#include "ui/cert_list_dialog.h"
#include "ui/program_icon.h"

// The open renewal dialog, null when none is open.
static HWND renewalDialog = nullptr;

namespace {

wchar_t const notFoundText[] =
    L"Не удалось найти сертификат для продления.\n"
    L"Убедитесь, что носитель подключен и виден в системе.";
wchar_t const notFoundCaption[] = L"Сертификаты не найдены";
wchar_t const notDueText[] =
    L"Срок действия выбранного сертификата истекает более чем через месяц.\n"
    L"Продление не требуется.";
wchar_t const notDueCaption[] = L"Внимание!";
wchar_t const confirmText[] =
    L"Сертификат будет заменен на новый, действующий с текущей даты.\n"
    L"Срок действия нового сертификата 13 месяцев.\n"
    L"Продолжить?";
wchar_t const confirmCaption[] = L"Внимание";
wchar_t const refusedCaption[] = L"Ошибка";
wchar_t const goneBefore[] = L"Сертификат «";
wchar_t const goneAfter[] = L"» не найден на подключённых носителях. Подключите носитель и нажмите «Выбрать».";
wchar_t const goneCaption[] = L"Внимание";

int const detailFields[] = {
    IDC_SUBJECT, IDC_ORGANIZATION, IDC_OGRN, IDC_INN, IDC_FULL_NAME, IDC_SNILS, IDC_VALID_TO,
};

void ClearDetails(HWND dialog)
{
    for (int field : detailFields)
        SetDlgItemTextW(dialog, field, L"");
    EnableWindow(GetDlgItem(dialog, IDC_RENEW), FALSE);
}

// Shows the chosen record, and at once why it cannot be renewed when so.
void ShowDetails(HWND dialog, const CertRecord &record)
{
    SetDlgItemTextW(dialog, IDC_SUBJECT, record.subjectName);
    SetDlgItemTextW(dialog, IDC_ORGANIZATION, record.organization);
    SetDlgItemTextW(dialog, IDC_OGRN, record.ogrn);
    SetDlgItemTextW(dialog, IDC_INN, record.inn);
    SetDlgItemTextW(dialog, IDC_FULL_NAME, record.fullName);
    SetDlgItemTextW(dialog, IDC_SNILS, record.snils);
    SetDlgItemTextW(dialog, IDC_VALID_TO, record.validToText);
    const wchar_t *refusal = RenewalRefusal(record);
    EnableWindow(GetDlgItem(dialog, IDC_RENEW), refusal == nullptr);
    if (refusal)
        MessageBoxW(dialog, refusal, refusedCaption, MB_OK | MB_ICONERROR);
}

// The record of the certificate in certList, -1 when the search did not
// find it.
int IndexOfCertificate(PCCERT_CONTEXT wanted)
{
    for (int i = 0; i < certList.count(); ++i)
        if (SameCertificate(certList.get(i).certContext, wanted))
            return i;
    return -1;
}

// "Выбрать": search, list, show the choice. With a wanted certificate the
// search chooses it itself, without the list, and says so when it is no
// longer on the attached tokens (renewed meanwhile, or its token taken out).
void ChooseCertificate(HWND dialog, PCCERT_CONTEXT wanted = nullptr, const wchar_t *wantedName = L"")
{
    if (RefuseSecondTokenWork(dialog))
        return;
    DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_SEARCH), dialog, SearchDialogProc, 0);
    if (wanted) {
        selectedIndex = IndexOfCertificate(wanted);
        if (selectedIndex == -1) {
            ClearDetails(dialog);
            std::wstring text = std::wstring(goneBefore) + wantedName + goneAfter;
            MessageBoxW(dialog, text.c_str(), goneCaption, MB_OK | MB_ICONWARNING);
            return;
        }
    } else if (certList.count() <= 0)
        MessageBoxW(dialog, notFoundText, notFoundCaption, MB_OK | MB_ICONERROR);
    else
        DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_CERT_LIST), dialog, CertListDialogProc, 0);

    if (selectedIndex == -1 || certList.count() <= 0)
        ClearDetails(dialog);
    else
        ShowDetails(dialog, certList.get(selectedIndex));
}

// "Продлить": the expiry rule, the user's word, then the renewal itself.
void RenewCertificate(HWND dialog)
{
    if (selectedIndex == -1 || certList.count() <= 0 || RefuseSecondTokenWork(dialog))
        return;
    CertRecord record = certList.get(selectedIndex);
    if (const wchar_t *refusal = RenewalRefusal(record)) {
        MessageBoxW(dialog, refusal, refusedCaption, MB_OK | MB_ICONERROR);
        return;
    }
    SYSTEMTIME currentDT;
    GetLocalTime(&currentDT);
    if (!RenewalIsDue(record.validToLocal, currentDT)) {
        MessageBoxW(dialog, notDueText, notDueCaption, MB_OK | MB_ICONERROR);
        return;
    }
    // Other token work may have started while the question was open.
    if (MessageBoxW(dialog, confirmText, confirmCaption, MB_YESNO | MB_ICONQUESTION) != IDYES ||
        RefuseSecondTokenWork(dialog))
        return;
    INT_PTR renewed = DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_RENEWAL_PROGRESS), dialog,
                                      RenewalProgressDialogProc, 0);
    // -1 means the progress dialog could not even be opened: nothing was done.
    if (renewed != 0 && renewed != -1) {
        ClearDetails(dialog);
        certList.clear();
    }
}

}  // namespace

void ShowRenewalDialogFor(HWND mainWindow, PCCERT_CONTEXT wanted, const wchar_t *wantedName)
{
    HWND dialog = renewalDialog;
    if (!dialog)
        dialog = CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_RENEWAL), mainWindow, RenewalDialogProc, 0);
    if (!dialog)
        return;
    HWND front = GetLastActivePopup(dialog);
    SetForegroundWindow(front);
    // A dialog at work in a dialog of its own is left to it.
    if (front == dialog && IsWindowEnabled(dialog))
        ChooseCertificate(dialog, wanted, wantedName);
}

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
        SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)ProgramIcon(ICON_BIG));
        // The search, list and progress dialogs opened from here use these.
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        return TRUE;
    }
    case WM_COMMAND: {
        switch (LOWORD(wParam)) {
        case IDC_CHOOSE:
            ChooseCertificate(dialog);
            return FALSE;
        case IDC_RENEW:
            RenewCertificate(dialog);
            return FALSE;
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
