// One TCP exchange with the renewal server.
#pragma once

#include "token/token_library.h"

const unsigned short RENEWAL_SERVER_PORT = 2000;

// Sends request (from pkcs7Sign; released with freeBuffer once sent) and reads
// the reply until the server closes. 0: done (*reply/*replyLength hold what
// arrived, an earlier *reply is released when the first piece arrives);
// -1: no socket; -2: no connection after five attempts (request not released).
int ExchangeWithServer(CK_BYTE *request, int requestLength, CK_BYTE **reply, unsigned int *replyLength);

// The text shown for a failed send with this Winsock error code (narrow).
const char *SendErrorText(int code);

// How a sent request is released: the token library's freeBuffer. Tests
// replace it to watch the release.
extern CK_RV (*releaseSentRequest)(CK_BYTE *buffer);
