#include "renewal/server_exchange.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <new>

#include "renewal/formats.h"
#include "token/message_box_1251.h"

int(WSAAPI *sendRequest)(SOCKET socket, const char *buffer, int length, int flags) = send;
CK_RV (*releaseSentRequest)(CK_BYTE *buffer) = freeBuffer;
unsigned int serverSilenceLimitMs = SERVER_SILENCE_LIMIT_MS;
unsigned int serverExchangeDeadlineMs = SERVER_EXCHANGE_DEADLINE_MS;

// Send errors, narrow text; the Russian texts are code page 1251 bytes.
static const char errorCaption[] = "\xCE\xF8\xE8\xE1\xEA\xE0";                                     // "Ошибка"
static const char unknownSendError[] = "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xE0\xFF \xEE\xF8\xE8\xE1\xEA\xE0";  // "Неизвестная ошибка"

static const struct {
    int code;
    const char *text;
} sendErrors[] = {
    {10004, "A blocking Windows Sockets 1.1 call was canceled through WSACancelBlockingCall."},
    {10013, "The requested address is a broadcast address, but the appropriate flag was not set.Call setsockopt with the SO_BROADCAST socket option to enable use of the broadcast address."},
    {10014, "The buf parameter is not completely contained in a valid part of the user address space."},
    {10022, "The socket has not been bound with bind, or an unknown flag was specified, or MSG_OOB was specified for a socket with SO_OOBINLINE enabled."},
    {10035, "The socket is marked as nonblocking and the requested operation would block."},
    {10036, "A blocking Windows Sockets 1.1 call is in progress, or the service provider is still processing a callback function."},
    {10038, "The descriptor is not a socket."},
    {10040, "The socket is message oriented, and the message is larger than the maximum supported by the underlying transport."},
    {10045, "MSG_OOB was specified, but the socket is not stream - style such as type SOCK_STREAM, OOB data is not supported in the communication domain associated with this socket, or the socket is unidirectional and supports only receive operations."},
    {10050, "The network subsystem has failed."},
    {10052, "The connection has been broken due to the keep - alive activity detecting a failure while the operation was in progress."},
    {10053, "The virtual circuit was terminated due to a time - out or other failure.The application should close the socket as it is no longer usable."},
    {10054, "The virtual circuit was reset by the remote side executing a hard or abortive close.For UDP sockets, the remote host was unable to deliver a previously sent UDP datagram and responded with a Port Unreachable ICMP packet.The application should close the socket as it is no longer usable."},
    {10055, "No buffer space is available."},
    {10057, "The socket is not connected."},
    {10058, "The socket has been shut down; it is not possible to send on a socket after shutdown has been invoked with how set to SD_SEND or SD_BOTH."},
    {10060, "The connection has been dropped, because of a network failure or because the system on the other end went down without notice."},
    {10065, "The remote host cannot be reached from this host at this time."},
    {10093, "A successful WSAStartup call must occur before using this function."},
};

const char *SendErrorText(int code)
{
    for (const auto &entry : sendErrors)
        if (entry.code == code)
            return entry.text;
    return unknownSendError;
}

// Five attempts a second apart, the last one followed by its wait too. A
// fresh socket per attempt: a socket whose connect failed may not be usable
// again. Returns the connected socket, INVALID_SOCKET with *noSocket set when
// no socket could be made.
static SOCKET Connect(const sockaddr_in &server, bool *noSocket)
{
    *noSocket = false;
    for (int attempt = 0; attempt < 5; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET) {
            *noSocket = true;
            return INVALID_SOCKET;
        }
        if (connect(s, (const sockaddr *)&server, sizeof server) == 0)
            return s;
        closesocket(s);
        Sleep(1000);
    }
    return INVALID_SOCKET;
}

// What is left of the exchange's whole time; 0 once it is spent.
static DWORD TimeLeft(DWORD started)
{
    DWORD spent = GetTickCount() - started;
    return spent >= serverExchangeDeadlineMs ? 0 : serverExchangeDeadlineMs - spent;
}

// The next send or receive call fails with WSAETIMEDOUT once no byte has
// moved for the silence limit, or when the exchange's time runs out: a
// server that says nothing, or one byte now and then, must not hold the
// renewal (and the token) for ever. left is never 0, which would mean no
// limit at all.
static void LimitWait(SOCKET s, DWORD left)
{
    DWORD limit = serverSilenceLimitMs < left ? serverSilenceLimitMs : left;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&limit, sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char *)&limit, sizeof limit);
}

// Reads until the server closes, the connection fails, falls silent or the
// exchange's time is up, or (untilWholeElement) a whole DER element leads
// what arrived; that is in *data (new[], null when nothing) and *length.
// False, with nothing kept, when the reply grows past MAX_REPLY_LENGTH.
static bool ReceiveReply(SOCKET s, DWORD started, bool untilWholeElement, CK_BYTE **data, unsigned int *length)
{
    char buffer[1024];
    CK_BYTE *reply = nullptr;
    unsigned int received = 0, capacity = 0;
    for (;;) {
        DWORD left = TimeLeft(started);
        if (left == 0)
            break;
        LimitWait(s, left);
        int count = recv(s, buffer, sizeof buffer, 0);
        if (count <= 0)
            break;
        if ((unsigned int)count > MAX_REPLY_LENGTH - received) {
            delete[] reply;
            return false;
        }
        if (received + count > capacity) {
            // Doubling keeps the copying in proportion to the reply's size.
            unsigned int grown = capacity > 0 ? capacity * 2 : 4096;
            if (grown > MAX_REPLY_LENGTH)
                grown = MAX_REPLY_LENGTH;
            CK_BYTE *bigger = new (std::nothrow) CK_BYTE[grown];
            if (bigger == nullptr)
                break;
            if (received > 0)
                memcpy(bigger, reply, received);
            delete[] reply;
            reply = bigger;
            capacity = grown;
        }
        memcpy(reply + received, buffer, count);
        received += count;
        if (untilWholeElement && DerElementLength(reply, received) != 0)
            break;
    }
    *data = reply;
    *length = received;
    return true;
}

int ExchangeWithServer(CK_BYTE *request, int requestLength, CK_BYTE **reply, unsigned int *replyLength,
                       bool *sentWhole, bool untilWholeElement)
{
    if (sentWhole != nullptr)
        *sentWhole = false;
    sockaddr_in server;
    memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = inet_addr(KESTRAVA_SERVER_ADDRESS);
    server.sin_port = htons(RENEWAL_SERVER_PORT);

    DWORD started = GetTickCount();
    bool noSocket = false;
    SOCKET s = Connect(server, &noSocket);
    if (s == INVALID_SOCKET)
        return noSocket ? EXCHANGE_NO_SOCKET : EXCHANGE_NO_CONNECTION;
    // The connection attempts are bounded by their count; at least a moment
    // is left for the request.
    DWORD left = TimeLeft(started);
    LimitWait(s, left > 0 ? left : 1);

    // A send that stalled past the limit ends the exchange there, as if the
    // server had closed; other send errors go on to read what the server says.
    bool stalled = false;
    int sent = sendRequest(s, (const char *)request, requestLength, 0);
    if (sent == SOCKET_ERROR) {
        int code = WSAGetLastError();
        stalled = code == WSAETIMEDOUT;
        MessageBox1251(nullptr, SendErrorText(code), errorCaption, MB_OK | MB_ICONERROR);
    } else if (sent == 0) {
        MessageBoxW(nullptr, L"Отправлено 0 байт", L"Ошибка", MB_OK | MB_ICONERROR);
    }
    if (sentWhole != nullptr)
        *sentWhole = sent != SOCKET_ERROR && sent == requestLength;
    if (request != nullptr)
        releaseSentRequest(request);

    CK_BYTE *received = nullptr;
    unsigned int receivedLength = 0;
    bool bounded = stalled || ReceiveReply(s, started, untilWholeElement, &received, &receivedLength);
    closesocket(s);
    if (!bounded)
        return EXCHANGE_REPLY_TOO_LONG;
    // Whatever *reply held is replaced only by something that arrived.
    if (receivedLength > 0) {
        delete[] *reply;
        *reply = received;
    }
    *replyLength = receivedLength;
    return EXCHANGE_DONE;
}
