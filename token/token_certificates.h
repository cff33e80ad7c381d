// The certificates a token holds, as the candidates for the issuer of a
// certificate that is to be written on it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "token/token_library.h"

// Every certificate object of the session's token whose value decodes as an
// X.509 certificate, in the token's order. Reports nothing: what cannot be
// read is passed over. The caller frees them (FreeTokenCertificates).
std::vector<PCCERT_CONTEXT> ReadTokenCertificates(CK_SESSION_HANDLE session);

// The same on the token in the slot, through a session of its own; none when
// no session opens.
std::vector<PCCERT_CONTEXT> ReadTokenCertificatesInSlot(CK_SLOT_ID slot);

void FreeTokenCertificates(std::vector<PCCERT_CONTEXT> &certificates);
