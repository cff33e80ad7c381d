// The vendor's extensions: certificate request, signed message, buffers.
#include "softtoken/library_state.h"

extern "C" {

CK_RV createCSR(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, char **, CK_ULONG, CK_BYTE **, CK_ULONG *, CK_ULONG, CK_ULONG, CK_ULONG, char **, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV pkcs7Sign(CK_SESSION_HANDLE, CK_BYTE *, CK_ULONG, CK_OBJECT_HANDLE, CK_BYTE **, CK_ULONG *, CK_ULONG, CK_ULONG, CK_ULONG, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV freeBuffer(CK_BYTE *) { return CKR_OK; }

}
