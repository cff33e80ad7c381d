#include "renewal/certificate_writing.h"

#include <commctrl.h>
#include <commdlg.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "cert/centre_chain.h"
#include "renewal/certificate_file.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "token/key_objects.h"
#include "token/key_pair_search.h"
#include "token/pin_dialog.h"
#include "token/pin_tries.h"
#include "token/token_certificates.h"
#include "token/token_status.h"
#include "token/token_work.h"

namespace {

const wchar_t fileDialogTitle[] = L"Файл сертификата";
// Name and pattern pairs; the list ends with an empty name.
const wchar_t fileFilter[] =
    L"Сертификаты (*.cer;*.crt;*.der;*.pem;*.p7b;*.p7c)\0*.cer;*.crt;*.der;*.pem;*.p7b;*.p7c\0"
    L"Все файлы (*.*)\0*.*\0";
const wchar_t errorCaption[] = L"Ошибка";
const wchar_t warningCaption[] = L"Внимание";
const wchar_t questionCaption[] = L"Внимание!";
const wchar_t writtenCaption[] = L"Новый сертификат";
const wchar_t notCertificateText[] = L"Файл не содержит сертификата.";
const wchar_t unreadableText[] = L"Не удалось прочитать файл сертификата.";
const wchar_t noKeyPairText[] = L"На подключённых носителях нет ключевой пары для этого сертификата.";
const wchar_t alreadyStoredText[] = L"Этот сертификат уже записан на носитель.";
const wchar_t writtenText[] = L"Сертификат записан на носитель.";
const wchar_t lockedRefusal[] = L"Запись сертификата невозможна";
const wchar_t uncheckedQuestion[] =
    L"Сертификат из файла не удалось проверить: он не подписан удостоверяющим центром, выдавшим текущий "
    L"сертификат, или сертификат этого центра не установлен на компьютере.\nЗаписать его на носитель?";

const DWORD pathRoom = 4096;
// The key pair found, the login, the certificate stored.
const int WRITE_STEPS = 3;

// The box that ends a run: a text of ours, or a token error for a call; none
// when the user cancelled the PIN.
struct Outcome {
    const wchar_t *text = nullptr;
    const wchar_t *caption = nullptr;
    UINT icon = 0;
    const char *failedCall = nullptr;
    CK_RV rv = CKR_OK;
};

Outcome Box(const wchar_t *text, const wchar_t *caption, UINT icon)
{
    Outcome outcome;
    outcome.text = text;
    outcome.caption = caption;
    outcome.icon = icon;
    return outcome;
}

Outcome TokenError(const char *call, CK_RV rv)
{
    Outcome outcome;
    outcome.failedCall = call;
    outcome.rv = rv;
    return outcome;
}

void ShowOutcome(HWND owner, const Outcome &outcome)
{
    if (outcome.failedCall)
        ShowTokenError(outcome.failedCall, outcome.rv, owner);
    else if (outcome.text)
        MessageBoxW(owner, outcome.text, outcome.caption, MB_OK | outcome.icon);
}

// Handed from the user-interface thread to the worker through the modal
// progress dialog: read by the worker only while the dialog is open.
struct WriteRun {
    const std::vector<PCCERT_CONTEXT> *certificates;
    HWND dialog;
};

void Advance(HWND progress)
{
    SendMessageW(progress, PBM_STEPIT, 0, 0);
}

// On the logged-in session: the certificate object beside the first pair
// that stands complete. The token may have been swapped while the PIN was
// typed, and private keys show only now: each place is checked again.
Outcome StoreBesideKeyPair(CK_SESSION_HANDLE session, const std::vector<KeyPairPlace> &places)
{
    for (const KeyPairPlace &place : places) {
        bool stands = false;
        const char *failedCall = nullptr;
        CK_RV rv = KeyPairStandsAt(session, place, &stands, &failedCall);
        if (rv != CKR_OK)
            return TokenError(failedCall, rv);
        if (!stands)
            continue;
        CK_OBJECT_HANDLE new_cert_handle = CK_INVALID_HANDLE;
        rv = StoreNewCertificate(session, place.id, place.idLength, place.certificate->pbCertEncoded,
                                 place.certificate->cbCertEncoded, &new_cert_handle);
        if (rv != CKR_OK)
            return TokenError("C_CreateObject", rv);
        return Box(writtenText, writtenCaption, MB_ICONINFORMATION);
    }
    return Box(noKeyPairText, errorCaption, MB_ICONERROR);
}

// Whether every certificate that may be written was signed by the centre of
// a certificate on the token (the holder's current one, usually), as the
// renewal asks it: the file is on disk already, so nothing is saved while
// the check waits on the network.
bool SignedByHoldersCentre(const std::vector<KeyPairPlace> &places)
{
    std::vector<PCCERT_CONTEXT> onToken = ReadTokenCertificatesInSlot(places.front().slot);
    bool signedByCentre = true;
    for (const KeyPairPlace &place : places)
        signedByCentre = signedByCentre && CentreSignedCertificate(place.certificate, onToken.data(), onToken.size(),
                                                                   onToken.data(), onToken.size());
    FreeTokenCertificates(onToken);
    return signedByCentre;
}

// Everything said to the token; the box comes after the session is closed.
Outcome WriteBesideKeyPair(const WriteRun &run)
{
    HWND progress = GetDlgItem(run.dialog, IDC_WRITE_PROGRESS);
    SendMessageW(progress, PBM_SETRANGE, 0, MAKELPARAM(0, WRITE_STEPS));
    SendMessageW(progress, PBM_SETSTEP, 1, 0);

    std::vector<KeyPairPlace> places = FindKeyPairPlaces(*run.certificates);
    if (places.empty())
        return Box(noKeyPairText, errorCaption, MB_ICONERROR);
    // A certificate the token holds already needs no PIN; another of the
    // file may still be missing.
    std::vector<KeyPairPlace> missing;
    for (const KeyPairPlace &place : places)
        if (!place.certificateStored)
            missing.push_back(place);
    if (missing.empty())
        return Box(alreadyStoredText, warningCaption, MB_ICONWARNING);
    Advance(progress);

    // A certificate the holder's centre did not sign may still be the
    // centre's (a new centre key not installed here): the holder decides,
    // before any PIN is given.
    if (!SignedByHoldersCentre(missing) &&
        MessageBoxW(run.dialog, uncheckedQuestion, questionCaption, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return Outcome();

    // Only "Ok" goes on: a PIN dialog that failed to open must not cost a
    // login attempt.
    if (!PinMayBeAsked(run.dialog, missing.front().slot, lockedRefusal) ||
        DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_PIN), run.dialog, PinDialogProc, 0) != IDOK)
        return Outcome();

    // The token may have been swapped while the PIN was typed: a PIN tried on
    // a token the user never chose costs one of its tries.
    if (!SameTokenInSlot(missing.front()))
        return Box(noKeyPairText, errorCaption, MB_ICONERROR);
    CK_SESSION_HANDLE session = 0;
    CK_RV rv = C_OpenSession(missing.front().slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK)
        return TokenError("C_OpenSession", rv);
    rv = C_Login(session, CKU_USER, (CK_UTF8CHAR *)pinBuffer, (CK_ULONG)strnlen(pinBuffer, sizeof pinBuffer));
    // Nothing reads the PIN after the login.
    SecureZeroMemory(pinBuffer, sizeof pinBuffer);
    if (rv != CKR_OK) {
        C_CloseSession(session);
        return TokenError("C_Login", rv);
    }
    Advance(progress);

    Outcome outcome = StoreBesideKeyPair(session, missing);
    C_Logout(session);
    C_CloseSession(session);
    if (outcome.text == writtenText)
        Advance(progress);
    return outcome;
}

DWORD WINAPI WriteThread(LPVOID parameter)
{
    WriteRun *run = (WriteRun *)parameter;
    Outcome outcome = WriteBesideKeyPair(*run);
    // Also when the login never came.
    SecureZeroMemory(pinBuffer, sizeof pinBuffer);
    ShowOutcome(run->dialog, outcome);
    TokenWorkEnd();
    EndDialog(run->dialog, 0);
    return 0;
}

// The certificate that the user chooses; false when the dialog was cancelled.
bool ChooseCertificateFile(HWND owner, wchar_t *path)
{
    path[0] = 0;
    OPENFILENAMEW open = {};
    open.lStructSize = sizeof open;
    open.hwndOwner = owner;
    open.lpstrFilter = fileFilter;
    open.nFilterIndex = 1;
    open.lpstrFile = path;
    open.nMaxFile = pathRoom;
    open.lpstrTitle = fileDialogTitle;
    open.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    return GetOpenFileNameW(&open) != FALSE;
}

}  // namespace

static INT_PTR CALLBACK WriteProgressDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

void WriteCertificateFromFile(HWND owner)
{
    // The menu works while the file dialog or a box of this command is open:
    // one writing at a time.
    static bool writing = false;
    if (writing) {
        SetForegroundWindow(GetLastActivePopup(owner));
        return;
    }
    if (RefuseSecondTokenWork(owner))
        return;
    writing = true;
    wchar_t *path = new wchar_t[pathRoom];
    // A search or renewal may have started while the file dialog was open.
    if (ChooseCertificateFile(owner, path) && !RefuseSecondTokenWork(owner)) {
        std::vector<PCCERT_CONTEXT> certificates;
        if (!ReadCertificateFile(path, certificates)) {
            MessageBoxW(owner, unreadableText, errorCaption, MB_OK | MB_ICONERROR);
        } else if (certificates.empty()) {
            MessageBoxW(owner, notCertificateText, errorCaption, MB_OK | MB_ICONERROR);
        } else {
            INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&controls);
            WriteRun run = {&certificates, nullptr};
            DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_WRITE_PROGRESS), owner, WriteProgressDialogProc,
                            (LPARAM)&run);
        }
        for (PCCERT_CONTEXT certificate : certificates)
            CertFreeCertificateContext(certificate);
    }
    delete[] path;
    writing = false;
}

// Dialog-box function for the writing progress dialog: the worker does all,
// and the user cannot close it.
static INT_PTR CALLBACK WriteProgressDialogProc(HWND dialog, UINT msg, WPARAM, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG: {
        WriteRun *run = (WriteRun *)lParam;
        run->dialog = dialog;
        StartTokenWorker(dialog, WriteThread, run);
        return TRUE;
    }
    }
    return FALSE;
}
