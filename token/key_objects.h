// Token objects of a renewal: the current certificate, the new identifier,
// the new key pair, the new certificate object and removal by identifier.
#pragma once

#include <windows.h>

#include <string>

#include "cert/cert_record.h"
#include "token/token_library.h"

const CK_ULONG NEW_CKA_ID_LENGTH = 27;

// Finds the certificate objects with the identifier; returns how many (at
// most 16) and the first in userCert. step(stepWindow) is called after each
// of the three search calls, whatever their result.
CK_ULONG FindCurrentCertificate(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength,
                                HWND owner, void (*step)(HWND), HWND stepWindow,
                                CK_OBJECT_HANDLE *userCert);

// The 27-byte identifier of the new objects: local time stamp, '-', the INN
// (at most 12 characters), zero bytes after it.
void MakeNewCKAID(const wchar_t *inn, CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH]);
// The same for a given local time.
void MakeNewCKAIDAt(const SYSTEMTIME &stLocal, const wchar_t *inn, CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH]);
// Whether an identifier has that form: fourteen digits of the time stamp,
// '-', the INN's digits, zero bytes to the end.
bool IsRenewalCKAID(const CK_BYTE *id, CK_ULONG length);
// The local time a renewal's identifier names (its start); false when the
// identifier is not one a renewal made.
bool RenewalCKAIDTime(const CK_BYTE *id, CK_ULONG length, SYSTEMTIME *startLocal);
// The INN a renewal's identifier names (its digits after the '-'); empty when
// the identifier names none or is not one a renewal made.
std::string RenewalCKAIDInn(const CK_BYTE *id, CK_ULONG length);

// The new key pair is of the current certificate's kind (record.keyKind, with
// its parameter set for GOST R 34.10-2012 keys), so that a renewal never
// changes the holder's algorithm.
CK_RV GenerateRenewalKeyPair(CK_SESSION_HANDLE session, const CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH],
                             const CertRecord &record, CK_OBJECT_HANDLE *publicKey, CK_OBJECT_HANDLE *privateKey);

// The certificate object "EGAIS" of a key pair: the pair's identifier with
// its whole length (zero bytes included) and the certificate's DER bytes.
CK_RV StoreNewCertificate(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength,
                          const CK_BYTE *certificate, CK_ULONG length, CK_OBJECT_HANDLE *new_cert_handle);

// Removes every object that carries the identifier, one per search pass.
// Stops when a pass finds nothing, when an object cannot be destroyed in three
// tries or is found again after its removal; an empty identifier removes
// nothing.
void DestroyObjectsById(CK_SESSION_HANDLE session, const CK_BYTE *id, CK_ULONG idLength, HWND owner);

// The same for the new key pair after a failed step, without a box of its
// own: the step's box is the run's one box. A pair that cannot be found or
// removed (the token was taken out) stays.
void RemoveNewKeyPair(CK_SESSION_HANDLE session, const CK_BYTE NewCKAID[NEW_CKA_ID_LENGTH]);
