// The token vendor's PKCS#11 library jcPKCS11: the standard functions (from
// p11-kit's PKCS#11 header, which sets the Win32 packing) and the vendor's
// four extensions. The stand-in token in softtoken/ implements the same list.
#pragma once

#include <p11-kit/pkcs11.h>

#ifdef CRYPTOKI_EXPORTS
#define JC_API __declspec(dllexport)
#else
#define JC_API __declspec(dllimport)
#endif

extern "C" {

// Builds a PKCS#10 request (DER) for publicKey, signed with the private key of
// the same CKA_ID. dn: OID and value strings alternating; exts: extension
// name or OID and OpenSSL-style value alternating. The three reserved
// arguments are always 0. *csr is released with freeBuffer.
JC_API CK_RV createCSR(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey,
                        char **dn, CK_ULONG dnLength,
                        CK_BYTE **csr, CK_ULONG *csrLength,
                        CK_ULONG reserved1, CK_ULONG reserved2, CK_ULONG reserved3,
                        char **exts, CK_ULONG extsLength);

// Signs data with the key of the certificate object cert: a PKCS#7/CMS
// SignedData with the data inside. The four reserved arguments are always 0.
// *envelope is released with freeBuffer.
JC_API CK_RV pkcs7Sign(CK_SESSION_HANDLE session, CK_BYTE *data, CK_ULONG length,
                        CK_OBJECT_HANDLE cert,
                        CK_BYTE **envelope, CK_ULONG *envelopeLength,
                        CK_ULONG reserved1, CK_ULONG reserved2, CK_ULONG reserved3,
                        CK_ULONG reserved4);

// Releases a buffer that createCSR or pkcs7Sign returned.
JC_API CK_RV freeBuffer(CK_BYTE *buffer);

// Switches hashing on the device on; 0 means done.
JC_API CK_RV useHardwareHash(CK_ULONG flag);

}

// The program reaches the library through a delay-import library: nothing
// is loaded until this is asked, before the first token call. False when
// jcPKCS11.dll is missing or cannot be loaded; then no token call may be made.
bool LoadTokenLibrary();

// C_FindObjects into objects until it gives none or room is full: a library
// may hand out fewer than asked while more remain. On failure the count is 0
// and the call's result is returned. stopping, when given, is asked before
// each call, and a true answer ends the search as a failure.
CK_RV FindObjectsUpTo(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE *objects, CK_ULONG room, CK_ULONG *count,
                      bool (*stopping)() = nullptr);
