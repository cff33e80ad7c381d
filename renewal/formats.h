// What is sent to the renewal server and how its replies are read.
#pragma once

#include "token/token_library.h"

// The seven bytes signed for the payment check.
extern CK_BYTE PaymentRequest[7];

enum PaymentReply { NothingReceived, UnexpectedReply, NotPaid, Paid };

PaymentReply ClassifyPaymentReply(const CK_BYTE *reply, unsigned int length);

// The extension list of the certificate request: 8 strings, name and value
// alternating. utf8Tool holds the UTF-8 value of the third pair and must
// outlive the list's use.
void BuildExtensions(char *exts[8], char utf8Tool[256]);

// A certificate reply may be stored only when it is exactly one encoded
// X.509 certificate whose public key is publicKeyValue (the new public key's
// CKA_VALUE): anything else would cost the user the old key for nothing.
bool CertificateReplyMatchesKey(const CK_BYTE *reply, unsigned int length,
                                const CK_BYTE *publicKeyValue, CK_ULONG publicKeyLength);
