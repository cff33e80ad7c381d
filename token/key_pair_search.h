// Finding, on the attached tokens, the key pair that a certificate was issued
// for: the place where its certificate object belongs.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "token/token_library.h"

// Where a certificate's public key stands on a token.
struct KeyPairPlace {
    CK_SLOT_ID slot;
    CK_BYTE id[256];
    // The identifier's length as the token gave it, zero bytes included.
    CK_ULONG idLength;
    // The token already holds a certificate object with the same value.
    bool certificateStored;
};

// Looks on every attached token, without logging in, for a public key object
// whose CKA_VALUE is the certificate's public key (bare X and Y, or the same
// wrapped in a DER OCTET STRING) and that has an identifier. The first found
// wins. False when no token has it.
bool FindPublicKeyOfCertificate(PCCERT_CONTEXT certificate, KeyPairPlace *place);

// On a logged-in session (private keys are seen only then): whether a private
// key with the identifier is there. On failure *failedCall names the call.
CK_RV FindPrivateKeyById(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength, bool *found,
                         const char **failedCall);
