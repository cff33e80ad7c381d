// One TCP exchange with the renewal server.
#pragma once

#include <cstdint>

#include "token/token_library.h"

const unsigned short RENEWAL_SERVER_PORT = 2000;

// A send or a receive in which no byte moves for this long ends the exchange
// as if the server had closed the connection then.
const unsigned int SERVER_SILENCE_LIMIT_MS = 60000;
// However the bytes trickle, an exchange ends this long after it began, as
// silence ends it.
const unsigned int SERVER_EXCHANGE_DEADLINE_MS = 5 * 60 * 1000;
// Far above any certificate; the renewal server refuses requests over the
// same size.
const unsigned int MAX_REPLY_LENGTH = 1024 * 1024;

// ExchangeWithServer's results.
const int EXCHANGE_DONE = 0;
const int EXCHANGE_NO_SOCKET = -1;
const int EXCHANGE_NO_CONNECTION = -2;
const int EXCHANGE_REPLY_TOO_LONG = -3;

// Sends request (from pkcs7Sign; released with freeBuffer once sent) and reads
// the reply until the server closes or falls silent. EXCHANGE_DONE:
// *reply/*replyLength hold what arrived (an earlier *reply is released when
// something arrived); EXCHANGE_NO_SOCKET, EXCHANGE_NO_CONNECTION: request not
// released; EXCHANGE_REPLY_TOO_LONG: more than MAX_REPLY_LENGTH bytes came,
// reading stopped, request released, *reply and *replyLength untouched.
// *sentWhole, when given, says whether every byte of the request was handed
// to the network: only then may the server have acted on it. With
// untilWholeElement, reading stops as soon as the reply begins with a whole
// DER element (what came with it stays in the reply): a server that adds
// bytes after it, or never closes, must not cost what has arrived.
int ExchangeWithServer(CK_BYTE *request, int requestLength, CK_BYTE **reply, unsigned int *replyLength,
                       bool *sentWhole = nullptr, bool untilWholeElement = false);

// The text shown for a failed send with this Winsock error code (narrow).
const char *SendErrorText(int code);

// How the request is handed to the network: Winsock's send. Tests put a
// wait before it, to meet a connection the server has already reset.
extern int(__stdcall *sendRequest)(uintptr_t socket, const char *buffer, int length, int flags);

// How a sent request is released: the token library's freeBuffer. Tests
// replace it to watch the release.
extern CK_RV (*releaseSentRequest)(CK_BYTE *buffer);

// The limits in force: SERVER_SILENCE_LIMIT_MS and
// SERVER_EXCHANGE_DEADLINE_MS, shortened by tests.
extern unsigned int serverSilenceLimitMs;
extern unsigned int serverExchangeDeadlineMs;
