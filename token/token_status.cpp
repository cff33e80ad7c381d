// The texts of token library statuses, as the user sees them.
#include "token/token_status.h"

#include "token/message_box_1251.h"

#include <algorithm>
#include <iterator>

namespace {

struct StatusText {
    CK_RV rv;
    const char *text;  // code page 1251
};

// Sorted by value. The PIN statuses that the user can act on are in Russian;
// the rest keep their PKCS#11 names.
StatusText const statusTexts[] = {
    {0x001, "CKR_CANCEL"},
    {0x002, "CKR_HOST_MEMORY"},
    {0x003, "CKR_SLOT_ID_INVALID"},
    {0x005, "CKR_GENERAL_ERROR"},
    {0x006, "CKR_FUNCTION_FAILED"},
    {0x007, "CKR_ARGUMENTS_BAD"},
    {0x008, "CKR_NO_EVENT"},
    {0x009, "CKR_NEED_TO_CREATE_THREADS"},
    {0x00A, "CKR_CANT_LOCK"},
    {0x010, "CKR_ATTRIBUTE_READ_ONLY"},
    {0x011, "CKR_ATTRIBUTE_SENSITIVE"},
    {0x012, "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x013, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x020, "CKR_DATA_INVALID"},
    {0x021, "CKR_DATA_LEN_RANGE"},
    {0x030, "CKR_DEVICE_ERROR"},
    {0x031, "CKR_DEVICE_MEMORY"},
    {0x032, "CKR_DEVICE_REMOVED"},
    {0x040, "CKR_ENCRYPTED_DATA_INVALID"},
    {0x041, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
    {0x050, "CKR_FUNCTION_CANCELED"},
    {0x051, "CKR_FUNCTION_NOT_PARALLEL"},
    {0x054, "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x060, "CKR_KEY_HANDLE_INVALID"},
    {0x062, "CKR_KEY_SIZE_RANGE"},
    {0x063, "CKR_KEY_TYPE_INCONSISTENT"},
    {0x064, "CKR_KEY_NOT_NEEDED"},
    {0x065, "CKR_KEY_CHANGED"},
    {0x066, "CKR_KEY_NEEDED"},
    {0x067, "CKR_KEY_INDIGESTIBLE"},
    {0x068, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x069, "CKR_KEY_NOT_WRAPPABLE"},
    {0x06A, "CKR_KEY_UNEXTRACTABLE"},
    {0x070, "CKR_MECHANISM_INVALID"},
    {0x071, "CKR_MECHANISM_PARAM_INVALID"},
    {0x082, "CKR_OBJECT_HANDLE_INVALID"},
    {0x090, "CKR_OPERATION_ACTIVE"},
    {0x091, "CKR_OPERATION_NOT_INITIALIZED"},
    {0x0A0, "\xCD\xE5\xE2\xE5\xF0\xED\xFB\xE9 PIN-\xEA\xEE\xE4"},  // Неверный PIN-код
    {0x0A1, "\xCD\xE5\xE4\xE5\xE9\xF1\xF2\xE2\xE8\xF2\xE5\xEB\xFC\xED\xFB\xE9 PIN-\xEA\xEE\xE4"},  // Недействительный PIN-код
    {0x0A2, "CKR_PIN_LEN_RANGE"},
    {0x0A3, "CKR_PIN_EXPIRED"},
    {0x0A4, "PIN-\xEA\xEE\xE4 \xE7\xE0\xE1\xEB\xEE\xEA\xE8\xF0\xEE\xE2\xE0\xED"},  // PIN-код заблокирован
    {0x0B0, "CKR_SESSION_CLOSED"},
    {0x0B1, "CKR_SESSION_COUNT"},
    {0x0B3, "CKR_SESSION_HANDLE_INVALID"},
    {0x0B4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
    {0x0B5, "CKR_SESSION_READ_ONLY"},
    {0x0B6, "CKR_SESSION_EXISTS"},
    {0x0B7, "CKR_SESSION_READ_ONLY_EXISTS"},
    {0x0B8, "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0x0C0, "CKR_SIGNATURE_INVALID"},
    {0x0C1, "CKR_SIGNATURE_LEN_RANGE"},
    {0x0D0, "CKR_TEMPLATE_INCOMPLETE"},
    {0x0D1, "CKR_TEMPLATE_INCONSISTENT"},
    {0x0E0, "CKR_TOKEN_NOT_PRESENT"},
    {0x0E1, "CKR_TOKEN_NOT_RECOGNIZED"},
    {0x0E2, "CKR_TOKEN_WRITE_PROTECTED"},
    {0x0F0, "CKR_UNWRAPPING_KEY_HANDLE_INVALID"},
    {0x0F1, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
    {0x0F2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x100, "CKR_USER_ALREADY_LOGGED_IN"},
    {0x101, "CKR_USER_NOT_LOGGED_IN"},
    {0x102, "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x103, "CKR_USER_TYPE_INVALID"},
    {0x104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "CKR_USER_TOO_MANY_TYPES"},
    {0x110, "CKR_WRAPPED_KEY_INVALID"},
    {0x112, "CKR_WRAPPED_KEY_LEN_RANGE"},
    {0x113, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
    {0x114, "CKR_WRAPPING_KEY_SIZE_RANGE"},
    {0x115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x120, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
    {0x121, "CKR_RANDOM_NO_RNG"},
    {0x150, "CKR_BUFFER_TOO_SMALL"},
    {0x160, "CKR_SAVED_STATE_INVALID"},
    {0x170, "CKR_INFORMATION_SENSITIVE"},
    {0x180, "CKR_STATE_UNSAVEABLE"},
    {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED"},
    {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    {0x1A0, "CKR_MUTEX_BAD"},
    {0x1A1, "CKR_MUTEX_NOT_LOCKED"},
};

// CKR_OK, the values between the listed ones, the standard statuses the
// table leaves out and every vendor status.
const char *const UNKNOWN_STATUS = "Unknown function";

}  // namespace

const char *TokenStatusText(CK_RV rv)
{
    auto found = std::lower_bound(std::begin(statusTexts), std::end(statusTexts), rv,
                                  [](const StatusText &entry, CK_RV value) { return entry.rv < value; });
    if (found == std::end(statusTexts) || found->rv != rv)
        return UNKNOWN_STATUS;
    return found->text;
}

int ShowTokenError(const char *caption, CK_RV rv, HWND owner)
{
    // Topmost, so that a box without an owner is not lost behind other windows.
    return MessageBox1251(owner, TokenStatusText(rv), caption, MB_OK | MB_ICONERROR | MB_TOPMOST);
}
