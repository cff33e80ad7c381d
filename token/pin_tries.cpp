#include "token/pin_tries.h"

#include <cwchar>

static const wchar_t lockedCaption[] = L"Внимание";
// The refusal stands between the two lines.
static const wchar_t lockedFirstLine[] = L"PIN-код пользователя на токене заблокирован.\n";
static const wchar_t lockedAdvice[] = L": обратитесь в удостоверяющий центр, чтобы разблокировать токен.";
static const wchar_t finalTryCaption[] = L"Внимание!";
static const wchar_t finalTryQuestion[] =
    L"Осталась последняя попытка ввода PIN-кода.\n"
    L"Если ввести неверный PIN-код, токен будет заблокирован.\n\nПродолжить?";

bool PinMayBeAsked(HWND owner, CK_SLOT_ID slot, const wchar_t *refusal)
{
    CK_TOKEN_INFO token;
    if (C_GetTokenInfo(slot, &token) != CKR_OK)
        return true;
    // A PIN typed for a locked token could only fail, and only the centre can
    // unlock it: nothing is asked and nothing is touched.
    if (token.flags & CKF_USER_PIN_LOCKED) {
        wchar_t text[512];
        swprintf(text, 512, L"%ls%ls%ls", lockedFirstLine, refusal, lockedAdvice);
        MessageBoxW(owner, text, lockedCaption, MB_OK | MB_ICONWARNING);
        return false;
    }
    // One more wrong PIN locks the token and with it the holder's key: "Нет"
    // is the default, so that a hurried Enter costs nothing.
    if (token.flags & CKF_USER_PIN_FINAL_TRY)
        return MessageBoxW(owner, finalTryQuestion, finalTryCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) ==
               IDYES;
    return true;
}
