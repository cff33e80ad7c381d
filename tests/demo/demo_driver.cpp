// Clicks through one renewal in a running kestrava.exe, as a user would, for
// the demo on a machine without a display: every step is written to the log
// (DEMO_LOG, UTF-8) and every window it passes through is saved as a
// screenshot (KESTRAVA_SCREENSHOTS). Exit code 0 when the certificate was
// renewed, 1 otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "res/resource.h"
#include "support/token_fixture.h"
#include "support/unix_command.h"
#include "support/user_store.h"
#include "support/window_driver.h"

namespace {

FILE *logFile = nullptr;
DWORD programId = 0;
int shotNumber = 3;  // the start-up picture and the resident program come first

void Say(const std::wstring &text)
{
    std::string line = Narrow(text) + "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
    if (logFile) {
        fputs(line.c_str(), logFile);
        fflush(logFile);
    }
}

void Shot(const char *name)
{
    Sleep(400);  // let the window finish painting
    std::string file = std::to_string(shotNumber++) + "-" + name;
    if (SaveScreenshot(file))
        Say(L"   снимок экрана: " + Widen(file) + L".png");
}

HWND Wait(const wchar_t *caption, int timeoutMs)
{
    return WaitForWindow(caption, L"#32770", timeoutMs, programId);
}

// The first of the program's boxes with one of these captions.
HWND WaitAny(const wchar_t *const captions[], int count, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 200) {
        for (int i = 0; i < count; ++i)
            if (HWND box = Wait(captions[i], 0))
                return box;
        Sleep(200);
    }
    return nullptr;
}

int Fail(const std::wstring &why)
{
    Say(L"Демонстрация прервана: " + why);
    Shot("failure");
    Say(L"DEMO FAILED");
    return 1;
}

}  // namespace

int main()
{
    std::string logPath = TestEnv("DEMO_LOG");
    if (!logPath.empty())
        logFile = _wfopen(WindowsPath(logPath).c_str(), L"ab");
    std::wstring pin = Widen(TestEnv("DEMO_PIN"));

    // After the centre's change of key: the head centre's certificate is in
    // the user's "Root" store for this renewal, as a real head centre's is
    // known to the program, and leaves it again when the driver ends.
    std::unique_ptr<UserStoreCertificate> head;
    std::string headPath = TestEnv("DEMO_ROOT_CERTIFICATE"), headDer;
    if (!headPath.empty()) {
        if (!ReadFileBytes(headPath, headDer))
            return Fail(L"не удалось прочитать сертификат головного центра");
        head.reset(new UserStoreCertificate(L"Root", headDer));
        if (!head->installed())
            return Fail(L"сертификат головного центра не установлен в хранилище «Root»");
        Say(L"Сертификат головного удостоверяющего центра установлен в хранилище «Root» пользователя.");
    }

    const wchar_t renewalCaption[] = L"Продление сертификата на JaCarta ГОСТ";
    HWND dialog = WaitForWindow(renewalCaption, L"#32770", 60000);
    if (!dialog)
        return Fail(L"окно продления не открылось");
    GetWindowThreadProcessId(dialog, &programId);
    Say(L"1. Окно «Продление сертификата на JaCarta ГОСТ» открылось само после заставки.");
    Shot("renewal-dialog");

    Say(L"2. Нажимаем «Выбрать»: программа ищет сертификаты на носителях.");
    ClickButton(dialog, IDC_CHOOSE);
    if (HWND search = Wait(L"Поиск сертификатов", 20000)) {
        Shot("search");
        WaitForWindowGone(search, 30000);
    }
    HWND list = Wait(L"Сертификаты", 30000);
    if (!list)
        return Fail(L"список сертификатов не открылся");
    HWND listView = GetDlgItem(list, IDC_CERT_LIST);
    PostMessageW(listView, WM_KEYDOWN, VK_HOME, 0);
    Sleep(300);
    Say(L"3. В списке «Сертификаты» отмечаем первый сертификат и нажимаем «Выбрать».");
    Shot("certificate-list");
    ClickButton(list, IDOK);
    WaitForWindowGone(list, 10000);
    for (int waited = 0; !IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)) && waited < 10000; waited += 100)
        Sleep(100);
    if (!IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)))
        return Fail(L"сертификат не выбран");
    const struct {
        const wchar_t *label;
        int id;
    } fields[] = {
        {L"Сертификат", IDC_SUBJECT}, {L"Организация", IDC_ORGANIZATION}, {L"ОГРН/ОГРНИП", IDC_OGRN},
        {L"ИНН", IDC_INN},            {L"Ф.И.О.", IDC_FULL_NAME},         {L"СНИЛС", IDC_SNILS},
        {L"Срок действия", IDC_VALID_TO},
    };
    Say(L"4. Окно показывает данные владельца:");
    for (const auto &field : fields)
        Say(std::wstring(L"   ") + field.label + L": " + ControlText(dialog, field.id));
    Shot("holder-details");

    Say(L"5. Нажимаем «Продлить».");
    ClickButton(dialog, IDC_RENEW);
    const wchar_t *const ruleCaptions[] = {L"Внимание", L"Внимание!", L"Ошибка"};
    HWND question = WaitAny(ruleCaptions, 3, 15000);
    if (!question)
        return Fail(L"нет вопроса о продлении");
    Say(L"   «" + WindowText(question) + L"»: " + MessageBoxText(question));
    Shot("confirmation");
    if (WindowText(question) != L"Внимание")
        return Fail(L"программа отказалась продлевать этот сертификат");
    Say(L"6. Отвечаем «Да».");
    ClickButton(question, IDYES);

    HWND pinDialog = Wait(L"PIN-код ГОСТ", 30000);
    if (!pinDialog)
        return Fail(L"не появилось окно ввода PIN-кода");
    Say(L"7. Вводим PIN-код носителя и нажимаем «Ok».");
    SetControlText(pinDialog, IDC_PIN, pin.c_str());
    Shot("pin");
    ClickButton(pinDialog, IDOK);

    if (Wait(L"Продление сертификата", 5000)) {
        Say(L"8. Идёт продление: оплата, новая ключевая пара, запрос, новый сертификат.");
        Shot("renewal-progress");
    }
    const wchar_t *const endCaptions[] = {L"Новый сертификат", L"Ошибка", L"Внимание", L"PIN-код ГОСТ"};
    HWND end = WaitAny(endCaptions, 4, 180000);
    if (!end)
        return Fail(L"продление не закончилось за три минуты");
    Say(L"   «" + WindowText(end) + L"»: " + MessageBoxText(end));
    Shot(WindowText(end) == L"Новый сертификат" ? "renewed" : "renewal-error");
    if (WindowText(end) != L"Новый сертификат")
        return Fail(L"сертификат не продлён");
    ClickButton(end, IDOK);
    WaitForWindowGone(end, 10000);
    for (int waited = 0; IsWindowEnabled(GetDlgItem(dialog, IDC_RENEW)) && waited < 10000; waited += 100)
        Sleep(100);
    Say(L"9. Сертификат продлён: поля окна очищены, «Продлить» недоступна до нового выбора.");
    Shot("after-renewal");
    Say(L"DEMO DONE");
    if (logFile)
        fclose(logFile);
    return 0;
}
