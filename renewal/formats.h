// What is sent to the renewal server and how its replies are read.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "token/token_library.h"

// The seven bytes signed for the payment check.
extern CK_BYTE PaymentRequest[7];

enum PaymentReply { NothingReceived, UnexpectedReply, NotPaid, Paid };

PaymentReply ClassifyPaymentReply(const CK_BYTE *reply, unsigned int length);

// The extension list of the certificate request: 8 strings, name and value
// alternating. utf8Tool holds the UTF-8 value of the third pair and must
// outlive the list's use.
void BuildExtensions(char *exts[8], char utf8Tool[256]);

// The whole length (header included) of the DER element that starts at der;
// 0 when its header is malformed or claims more than length bytes.
unsigned int DerElementLength(const CK_BYTE *der, unsigned int length);

// The subject public key of the certificate request that createCSR made
// (what the server certifies, whatever form the token gives the key in).
// Free with LocalFree; null when the request does not decode.
CERT_PUBLIC_KEY_INFO *DecodeRequestPublicKey(const CK_BYTE *csr, CK_ULONG csrLength);

// The length of the encoded X.509 certificate for the requested public key
// that leads the reply; 0 when the reply does not begin with one. Only that
// certificate may be stored: anything else would cost the user the old key
// for nothing, and bytes after it are no part of it.
unsigned int LeadingCertificateLength(const CK_BYTE *reply, unsigned int length,
                                      const CERT_PUBLIC_KEY_INFO &requestKey);

// A certificate reply of this many bytes or fewer is the centre's refusal,
// unless it is the start of a certificate.
const unsigned int CERTIFICATE_REFUSAL_MAX_LENGTH = 128;

// Whether a certificate reply is the start of a certificate cut off before
// its end, from its first two bytes (the tag and a long-form length) on: the
// certificate may have been issued, and its whole copy is still to be had
// from the centre.
bool ReplyIsCutCertificate(const CK_BYTE *reply, unsigned int length);
