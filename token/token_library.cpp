// Reaching the token vendor's library: loading it at all, and searching
// objects the way every library allows.
#include "token/token_library.h"

#include <windows.h>
#include <delayimp.h>

namespace {

wchar_t const libraryName[] = L"jcPKCS11.dll";

// Answers for a function the loaded library lacks, so that the call fails
// with a status where it is made instead of ending the process. The
// library's functions are cdecl: the caller clears its own arguments.
extern "C" CK_RV MissingTokenFunction()
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

FARPROC WINAPI TokenLibraryFailure(unsigned notification, PDelayLoadInfo)
{
    return notification == dliFailGetProc ? (FARPROC)MissingTokenFunction : nullptr;
}

}  // namespace

bool LoadTokenLibrary()
{
    __pfnDliFailureHook2 = TokenLibraryFailure;
    // Kept loaded for the life of the process: the delay-import thunks find
    // it by name at the first call of each function.
    return LoadLibraryW(libraryName) != nullptr;
}

CK_RV FindObjectsUpTo(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE *objects, CK_ULONG room, CK_ULONG *count,
                      bool (*stopping)())
{
    CK_ULONG total = 0;
    *count = 0;
    while (total < room) {
        if (stopping && stopping())
            return CKR_FUNCTION_CANCELED;
        CK_ULONG found = 0;
        CK_RV rv = C_FindObjects(session, objects + total, room - total, &found);
        if (rv != CKR_OK)
            return rv;
        // A count above the room given is a broken answer: none of it is
        // used.
        if (found > room - total)
            return CKR_GENERAL_ERROR;
        if (found == 0)
            break;
        total += found;
    }
    *count = total;
    return CKR_OK;
}
