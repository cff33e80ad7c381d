// Finding, on the attached tokens, the key pair that a certificate was issued
// for: the place where its certificate object belongs.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "token/token_library.h"

// An attribute's value: its size first, then the value. False when the token
// does not give it.
bool ReadAttribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                   std::vector<CK_BYTE> &value);
// Every object of the class on the session's token (what was found before a
// failure, when the search fails). Reports nothing.
std::vector<CK_OBJECT_HANDLE> ObjectsOfClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass);

// Where a certificate's public key stands on a token.
struct KeyPairPlace {
    CK_SLOT_ID slot;
    // One of the certificates searched for (the caller's, not owned).
    PCCERT_CONTEXT certificate;
    CK_BYTE id[256];
    // The identifier's length as the token gave it, zero bytes included.
    CK_ULONG idLength;
    // The token already holds a certificate object with the same value.
    bool certificateStored;
    // The token as it was at the search.
    CK_TOKEN_INFO token;
};

// Looks on every attached token that gives its token information, without
// logging in, for the public key objects whose CKA_VALUE is the public key of
// one of the certificates (bare X and Y, or the same wrapped in a DER OCTET
// STRING) and that have an identifier. Private keys show only after the
// login, so every such key of the first token that has one is a place: in the
// order of the certificates, then of the token's objects. Empty when no token has one.
std::vector<KeyPairPlace> FindKeyPairPlaces(const std::vector<PCCERT_CONTEXT> &certificates);

// Whether the slot still holds the token the place was found on (the same
// label, maker, model and serial number); false when it holds none.
bool SameTokenInSlot(const KeyPairPlace &place);

// On a logged-in session, which may be on another token than the one
// searched: whether a public key with the certificate's key value still
// stands under the place's identifier with a private key beside it. On
// failure *failedCall names the call.
CK_RV KeyPairStandsAt(CK_SESSION_HANDLE session, const KeyPairPlace &place, bool *stands, const char **failedCall);
