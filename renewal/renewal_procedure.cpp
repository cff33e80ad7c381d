#include "renewal/renewal_procedure.h"

#include <commctrl.h>

#include <cwchar>
#include <vector>

#include "cert/cert_record.h"
#include "cert/centre_chain.h"
#include "renewal/certificate_file.h"
#include "renewal/formats.h"
#include "renewal/server_exchange.h"
#include "res/app_instance.h"
#include "res/resource.h"
#include "token/key_objects.h"
#include "token/pin_dialog.h"
#include "token/pin_tries.h"
#include "token/token_certificates.h"
#include "token/token_status.h"
#include "token/token_work.h"

static const int RENEWAL_STEPS = 13;

static const wchar_t errorCaption[] = L"Ошибка";
static const wchar_t noSelectionText[] = L"Сертификат для продления не выбран.";
static const wchar_t lockedRefusal[] = L"Продление невозможно";
static const wchar_t severalFoundText[] = L"Найдено более одного сертификата";
static const wchar_t notFoundText[] = L"Сертификат не найден";
static const wchar_t noServerText[] = L"Не удалось связаться с сервером продления сертификатов.";
static const wchar_t networkErrorText[] = L"При работе с сетевыми ресурсами возникла ошибка.";
static const wchar_t nothingReceivedText[] =
    L"Не удалось отправить запрос на сервер.\nВозможно исходящий трафик блокируется сетевым экраном.";
static const wchar_t unexpectedReplyText[] =
    L"Неожиданный ответ сервера либо соединение было разорвано.\n"
    L"Возможно Вы используете устаревшую версию программы для продления.";
static const wchar_t notPaidText[] = L"Продление сертификата не оплачено.";
static const wchar_t renewedText[] = L"Сертификат был успешно обновлен.";
static const wchar_t renewedCaption[] = L"Новый сертификат";
static const wchar_t warningCaption[] = L"Внимание";
static const wchar_t savedInFileText[] = L"Новый сертификат выпущен, но записать его на носитель не удалось.\n"
                                         L"Он сохранён в файле:\n";
static const wchar_t savedInFileAdvice[] =
    L"\nКлючевая пара для него осталась на носителе. Когда на носителе будет место, запишите сертификат командой "
    L"«Записать сертификат из файла» в меню программы.";
static const wchar_t notSavedText[] =
    L"Новый сертификат выпущен, но записать его на носитель и сохранить в файл не удалось.\n"
    L"Обратитесь в удостоверяющий центр.";
static const wchar_t uncheckedText[] =
    L"Полученный сертификат не удалось проверить: он не подписан удостоверяющим центром, выдавшим текущий "
    L"сертификат, или сертификат этого центра не установлен на компьютере.\n";
static const wchar_t uncheckedSavedText[] =
    L"Текущий сертификат и его ключ остались на носителе. Полученный сертификат сохранён в файле:\n";
static const wchar_t uncheckedSavedAdvice[] =
    L"\nЕсли удостоверяющий центр подтвердит, что выпустил его, установите сертификат центра или запишите этот "
    L"сертификат командой «Записать сертификат из файла» в меню программы.";
static const wchar_t uncheckedNotSavedText[] =
    L"Текущий сертификат и его ключ остались на носителе. Обратитесь в удостоверяющий центр.";
static const wchar_t mayBeIssuedText[] =
    L"Удостоверяющий центр мог выпустить новый сертификат, но ответ не получен.\n"
    L"Новая ключевая пара оставлена на носителе. Получите файл сертификата в удостоверяющем центре и запишите его "
    L"на носитель командой «Записать сертификат из файла» в меню программы.";

// The state of one run; what it still holds is released at its end.
struct RenewalRun {
    HWND dialog = nullptr;
    HWND progress = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_BYTE *receive_d = nullptr;
    unsigned int receive_s = 0;
    CERT_PUBLIC_KEY_INFO *requestKey = nullptr;  // the key the certificate request names
    const CK_BYTE *newId = nullptr;              // NewCKAID, once made
    bool fileSaved = false;                      // the reply's certificate is in the file at filePath
    wchar_t filePath[MAX_PATH] = L"";
};

static void Advance(HWND progress)
{
    SendMessageW(progress, PBM_STEPIT, 0, 0);
}

static void ShowError(HWND dialog, const wchar_t *text)
{
    MessageBoxW(dialog, text, errorCaption, MB_OK | MB_ICONERROR);
}

// Token error boxes take narrow captions in code page 1251.
static void ShowStepError(const wchar_t *caption, CK_RV rv, HWND owner)
{
    char narrow[256] = "";
    WideCharToMultiByte(1251, 0, caption, -1, narrow, sizeof narrow, nullptr, nullptr);
    ShowTokenError(narrow, rv, owner);
}

// One signed exchange; when no connection was made the envelope is still
// ours to release. A reply over the bound fails the exchange like any other
// network error.
static int SendSigned(RenewalRun &run, CK_BYTE *envelope, CK_ULONG envelopeLength, bool *sentWhole = nullptr,
                      bool untilWholeElement = false)
{
    int result = ExchangeWithServer(envelope, (int)envelopeLength, &run.receive_d, &run.receive_s, sentWhole,
                                    untilWholeElement);
    if (result == EXCHANGE_NO_SOCKET || result == EXCHANGE_NO_CONNECTION)
        freeBuffer(envelope);
    return result;
}

// Keeps the reply's certificate in a file of its own, once for the run: a
// later failure names the same file.
static bool SaveIssuedOnce(RenewalRun &run)
{
    if (!run.fileSaved)
        run.fileSaved = SaveIssuedCertificate(run.receive_d, run.receive_s, run.newId, NEW_CKA_ID_LENGTH, run.filePath);
    return run.fileSaved;
}

// The check of the centre is about to wait on the network, where the
// program may be ended (a logoff, a crash): the certificate paid for is
// written down first, as an unchecked one would be.
static void SaveBeforeRetrieval(void *run)
{
    SaveIssuedOnce(*static_cast<RenewalRun *>(run));
}

// The certificate was issued and paid for, and its key pair stays on the
// token: when the token will not take the certificate, a file keeps it. The
// file is written before any box, so that a shutdown or a crash while a box
// waits cannot lose the only copy.
static void KeepIssuedCertificate(RenewalRun &run, CK_RV rv)
{
    bool saved = SaveIssuedOnce(run);
    ShowTokenError("C_CreateObject", rv, nullptr);
    if (!saved) {
        MessageBoxW(run.dialog, notSavedText, warningCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    // The path is shorter than MAX_PATH and the texts around it are fixed.
    wchar_t text[MAX_PATH + 512];
    swprintf(text, MAX_PATH + 512, L"%ls%ls%ls", savedInFileText, run.filePath, savedInFileAdvice);
    MessageBoxW(run.dialog, text, warningCaption, MB_OK | MB_ICONWARNING);
}

// A certificate for the new key that the holder's centre did not sign, as
// far as this computer can tell: it may still be the centre's (a new centre
// key not installed here), so it is kept in a file, before the box, as one
// the token refused; the new pair stays for it and nothing old is touched.
static void KeepUncheckedCertificate(RenewalRun &run)
{
    bool saved = SaveIssuedOnce(run);
    const size_t room = MAX_PATH + 1024;
    wchar_t text[room];
    if (saved)
        swprintf(text, room, L"%ls%ls%ls%ls", uncheckedText, uncheckedSavedText, run.filePath, uncheckedSavedAdvice);
    else
        swprintf(text, room, L"%ls%ls", uncheckedText, uncheckedNotSavedText);
    MessageBoxW(run.dialog, text, warningCaption, MB_OK | MB_ICONWARNING);
}

// Whether the reply's certificate (run.receive_d, already the request key's)
// was signed by the centre that signed the holder's current certificate,
// found from what the current certificate, the token, the system's stores
// or the centre's published certificates tell.
static bool SignedByHoldersCentre(RenewalRun &run, const CertRecord &record)
{
    PCCERT_CONTEXT issued = CertCreateCertificateContext(X509_ASN_ENCODING, run.receive_d, run.receive_s);
    if (issued == nullptr)
        return false;
    std::vector<PCCERT_CONTEXT> onToken = ReadTokenCertificates(run.session);
    PCCERT_CONTEXT current = record.certContext;
    bool signedByCentre = CentreSignedCertificate(issued, &current, 1, onToken.data(), onToken.size(),
                                                  SaveBeforeRetrieval, &run);
    FreeTokenCertificates(onToken);
    CertFreeCertificateContext(issued);
    return signedByCentre;
}

// Whether the centre may have issued a certificate for the new key although
// no usable reply came: the request went out whole, and then nothing came,
// or the start of a certificate cut off before its end. A refusal, a whole
// reply that is not the certificate, or one past the bound says it did not.
static bool MayBeIssued(const RenewalRun &run, int exchanged, bool sentWhole)
{
    return exchanged == EXCHANGE_DONE && sentWhole &&
           (run.receive_s == 0 || ReplyIsCutCertificate(run.receive_d, run.receive_s));
}

// Steps from the session to the success box; returns the dialog result.
// Leaves run.session open (or 0) for the caller's end.
static INT_PTR RenewSelected(RenewalRun &run, const CertRecord &record)
{
    HWND dialog = run.dialog;
    CK_RV rv;

    SendMessageW(run.progress, PBM_SETRANGE, 0, MAKELPARAM(0, RENEWAL_STEPS));
    SendMessageW(run.progress, PBM_SETSTEP, 1, 0);
    char *exts[8];
    char utf8Tool[256];
    BuildExtensions(exts, utf8Tool);

    CK_SESSION_HANDLE session = 0;
    rv = C_OpenSession(record.slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv != CKR_OK) {
        ShowTokenError("C_OpenSession", rv, dialog);
        return 0;
    }
    Advance(run.progress);

    rv = C_Login(session, CKU_USER, (CK_UTF8CHAR *)pinBuffer, (CK_ULONG)strnlen(pinBuffer, sizeof pinBuffer));
    // Nothing reads the PIN after the login.
    SecureZeroMemory(pinBuffer, sizeof pinBuffer);
    if (rv != CKR_OK) {
        ShowTokenError("C_Login", rv, dialog);
        C_CloseSession(session);
        return 0;
    }
    run.session = session;
    Advance(run.progress);

    CK_ULONG idLength = record.ckaIDLength;
    CK_OBJECT_HANDLE userCert = CK_INVALID_HANDLE;
    CK_ULONG certsFound = FindCurrentCertificate(session, record.ckaID, idLength, dialog, Advance,
                                                 run.progress, &userCert);
    if (certsFound >= 2) {
        ShowError(dialog, severalFoundText);
        return 0;
    }
    if (certsFound == 0) {
        ShowError(dialog, notFoundText);
        return 0;
    }

    CK_BYTE *envelope = nullptr;
    CK_ULONG envelopeLength = 0;
    rv = pkcs7Sign(session, PaymentRequest, sizeof PaymentRequest, userCert, &envelope, &envelopeLength, 0, 0, 0, 0);
    if (rv != CKR_OK) {
        ShowStepError(L"Ошибка при подписании запроса на оплату", rv, dialog);
        return 0;
    }
    Advance(run.progress);

    run.receive_s = 0;
    int exchanged = SendSigned(run, envelope, envelopeLength);
    if (exchanged != 0) {
        ShowError(dialog, exchanged == EXCHANGE_NO_CONNECTION ? noServerText : networkErrorText);
        return 0;
    }
    Advance(run.progress);

    switch (ClassifyPaymentReply(run.receive_d, run.receive_s)) {
    case NothingReceived:
        ShowError(dialog, nothingReceivedText);
        return 0;
    case UnexpectedReply:
        ShowError(dialog, unexpectedReplyText);
        return 0;
    case NotPaid:
        ShowError(dialog, notPaidText);
        return 0;
    case Paid:
        break;
    }

    CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH];
    run.newId = NewCKAID;
    MakeNewCKAID(record.inn, NewCKAID);
    // A certificate renewed within the same second would get its own
    // identifier back, and the removal of the old objects would take the new.
    while (idLength == NEW_CKA_ID_LENGTH && memcmp(NewCKAID, record.ckaID, NEW_CKA_ID_LENGTH) == 0) {
        Sleep(1000);
        MakeNewCKAID(record.inn, NewCKAID);
    }
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
    rv = GenerateRenewalKeyPair(session, NewCKAID, record, &publicKey, &privateKey);
    if (rv != CKR_OK) {
        ShowStepError(L"Ошибка генерации новой ключевой пары", rv, dialog);
        return 0;
    }
    Advance(run.progress);

    CK_BYTE *csr = nullptr;
    CK_ULONG csrLength = 0;
    rv = createCSR(session, publicKey, (char **)record.requestSubject, record.requestSubjectCount, &csr, &csrLength,
                   0, 0, 0, exts, 8);
    // The reply is later checked against the request itself: a request that
    // does not decode here is not sent for the server to use the payment on.
    if (rv == CKR_OK) {
        run.requestKey = DecodeRequestPublicKey(csr, csrLength);
        if (run.requestKey == nullptr) {
            freeBuffer(csr);
            rv = CKR_FUNCTION_FAILED;
        }
    }
    // Until the request starts to go out nothing can have been issued for
    // the new pair: it leaves the token again before the box, or every retry
    // would leave one more until the token is full.
    if (rv != CKR_OK) {
        RemoveNewKeyPair(session, NewCKAID);
        ShowStepError(L"Ошибка формирования запроса на сертификат", rv, dialog);
        return 0;
    }
    Advance(run.progress);

    rv = pkcs7Sign(session, csr, csrLength, userCert, &envelope, &envelopeLength, 0, 0, 0, 0);
    freeBuffer(csr);
    if (rv != CKR_OK) {
        RemoveNewKeyPair(session, NewCKAID);
        ShowStepError(L"Ошибка при подписании запроса на сертификат", rv, dialog);
        return 0;
    }
    Advance(run.progress);

    // Only the certificate of the new key may replace the old one; anything
    // else (too short, not a certificate, another key) costs the new pair,
    // never the old. The pair stays while the certificate the centre may
    // have issued for it (and charged for) can still be had.
    bool sentWhole = false;
    exchanged = SendSigned(run, envelope, envelopeLength, &sentWhole, true);
    unsigned int certificateLength =
        exchanged == EXCHANGE_DONE && run.receive_s > CERTIFICATE_REFUSAL_MAX_LENGTH
            ? LeadingCertificateLength(run.receive_d, run.receive_s, *run.requestKey)
            : 0;
    if (certificateLength == 0) {
        // The advice is the run's only box: a logoff at an earlier box would
        // end the program before the holder read what to do.
        if (MayBeIssued(run, exchanged, sentWhole)) {
            MessageBoxW(dialog, mayBeIssuedText, warningCaption, MB_OK | MB_ICONWARNING);
            return 0;
        }
        RemoveNewKeyPair(session, NewCKAID);
        ShowError(dialog, exchanged == EXCHANGE_NO_CONNECTION ? noServerText : networkErrorText);
        return 0;
    }
    // Whatever the server sent after the certificate is no part of it.
    run.receive_s = certificateLength;
    // Nothing on the connection proves who answered: the holder's working
    // key goes only for a certificate that the holder's centre signed.
    if (!SignedByHoldersCentre(run, record)) {
        KeepUncheckedCertificate(run);
        return 0;
    }
    Advance(run.progress);

    CK_OBJECT_HANDLE new_cert_handle = CK_INVALID_HANDLE;
    rv = StoreNewCertificate(session, NewCKAID, NEW_CKA_ID_LENGTH, run.receive_d, run.receive_s, &new_cert_handle);
    if (rv != CKR_OK) {
        KeepIssuedCertificate(run, rv);
        return 0;
    }
    // The token holds the certificate now: the copy kept while the check
    // waited would only lead the holder to write it again.
    if (run.fileSaved)
        DeleteFileW(run.filePath);
    Advance(run.progress);

    // The old objects go only now that the new certificate is stored.
    DestroyObjectsById(session, record.ckaID, idLength, dialog);
    Advance(run.progress);

    Sleep(1000);
    MessageBoxW(dialog, renewedText, renewedCaption, MB_OK | MB_ICONINFORMATION);
    return 1;
}

// The chosen record, when there is one that can be renewed at all: the
// dialog asked the same rule, but the worker never sends the token searches
// and removals for a record that would match objects the user never chose.
static bool TakeSelectedRecord(HWND dialog, CertRecord &record)
{
    if (selectedIndex < 0 || selectedIndex >= certList.count()) {
        ShowError(dialog, noSelectionText);
        return false;
    }
    record = certList.get(selectedIndex);
    if (const wchar_t *refusal = RenewalRefusal(record)) {
        ShowError(dialog, refusal);
        return false;
    }
    return true;
}

static DWORD WINAPI RenewalThread(LPVOID dialogWindow)
{
    RenewalRun run;
    run.dialog = (HWND)dialogWindow;
    run.progress = GetDlgItem(run.dialog, IDC_RENEWAL_PROGRESS);
    INT_PTR result = 0;

    CertRecord *record = new CertRecord;
    // Only "Ok" goes on: a PIN dialog that failed to open must not cost a
    // login attempt with a stale or empty PIN.
    if (TakeSelectedRecord(run.dialog, *record) && PinMayBeAsked(run.dialog, record->slotId, lockedRefusal) &&
        DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_PIN), run.dialog, PinDialogProc, 0) == IDOK) {
        result = RenewSelected(run, *record);
        // Also when the session never opened and the login never came.
        SecureZeroMemory(pinBuffer, sizeof pinBuffer);
        if (run.session != 0) {
            C_Logout(run.session);
            C_CloseSession(run.session);
        }
    }
    delete record;
    delete[] run.receive_d;
    if (run.requestKey != nullptr)
        LocalFree(run.requestKey);
    TokenWorkEnd();

    EndDialog(run.dialog, result);
    return 0;
}

// Dialog-box function for the renewal progress dialog: the worker does all,
// and the user cannot close it.
INT_PTR CALLBACK RenewalProgressDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    (void)lParam;
    switch (msg) {
    case WM_INITDIALOG: {
        StartTokenWorker(dialog, RenewalThread, dialog);
        return TRUE;
    }
    }
    return FALSE;
}
