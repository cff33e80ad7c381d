// The bounded retrieval of a caIssuers URL. The platform's own retrieval
// cannot be trusted with the bounds: Wine's applies its time-out to each
// read, so an answer trickling a byte every few seconds never ends, and it
// reads any length. Here the transfer runs on a thread of its own that the
// caller waits for only until the deadline; then the caller closes the
// transfer's handles (which ends a call blocked in them where WinINet can)
// and leaves. The thread, left alone, ends when its call returns: each
// wait for the server is bounded by the deadline too.
#include "cert/issuer_retrieval.h"

#include <wininet.h>

#include <string>

namespace {

// The platform's retrieval, made explicit: from the wire only, nothing
// kept, no password, cookie or window; redirects are looked at first.
const DWORD OPEN_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_CACHE_WRITE |
                         INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                         INTERNET_FLAG_NO_AUTO_REDIRECT;
const int MAX_REDIRECTS = 4;

// One transfer, shared by its thread and the caller that waits for it:
// whichever lets go last frees it. The answer is the caller's once the
// thread has ended.
struct Transfer {
    LONG references = 2;
    CRITICAL_SECTION lock;
    HINTERNET session = nullptr;  // under lock; closing it closes the requests opened in it
    bool abandoned = false;       // under lock
    std::wstring url;
    ULONGLONG deadline = 0;
    DWORD maxBytes = 0;
    std::vector<BYTE> answer;
    bool whole = false;
};

void Release(Transfer *transfer)
{
    if (InterlockedDecrement(&transfer->references) == 0) {
        DeleteCriticalSection(&transfer->lock);
        delete transfer;
    }
}

// Closes the transfer's session, once, whoever comes first; an abandoned
// transfer opens no other.
void CloseSession(Transfer &transfer, bool abandon)
{
    EnterCriticalSection(&transfer.lock);
    transfer.abandoned |= abandon;
    if (transfer.session)
        InternetCloseHandle(transfer.session);
    transfer.session = nullptr;
    LeaveCriticalSection(&transfer.lock);
}

DWORD MillisecondsLeft(ULONGLONG deadline)
{
    ULONGLONG now = GetTickCount64();
    return now < deadline ? (DWORD)(deadline - now) : 0;
}

// No single wait of the handle's calls may outlast the deadline, where the
// platform honours its time-outs.
bool SetTimeouts(HINTERNET handle, ULONGLONG deadline)
{
    DWORD left = MillisecondsLeft(deadline);
    return left > 0 && InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &left, sizeof left) &&
           InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &left, sizeof left) &&
           InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &left, sizeof left);
}

// Opens the request for an http URL and sends it, every wait of it bounded
// by the deadline (set on the request itself, before it is sent: that is
// where WinINet takes them from); false when any of it fails.
bool SendRequest(HINTERNET session, const std::wstring &url, ULONGLONG deadline, HINTERNET &connection,
                 HINTERNET &request)
{
    wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH] = L"", path[INTERNET_MAX_URL_LENGTH] = L"",
            query[INTERNET_MAX_URL_LENGTH] = L"";
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = INTERNET_MAX_URL_LENGTH;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = INTERNET_MAX_URL_LENGTH;
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTP)
        return false;
    connection = InternetConnectW(session, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    request = connection ? HttpOpenRequestW(connection, L"GET", (std::wstring(path) + query).c_str(), nullptr,
                                            nullptr, nullptr, OPEN_FLAGS, 0)
                         : nullptr;
    return request && SetTimeouts(request, deadline) && HttpSendRequestW(request, nullptr, 0, nullptr, 0);
}

// Where a redirect leads, made absolute; empty when the answer is no
// redirect (its scheme is looked at when it is sent).
std::wstring RedirectTarget(HINTERNET request, DWORD status, const std::wstring &url)
{
    if (status != HTTP_STATUS_MOVED && status != HTTP_STATUS_REDIRECT && status != HTTP_STATUS_REDIRECT_METHOD &&
        status != HTTP_STATUS_REDIRECT_KEEP_VERB && status != HTTP_STATUS_PERMANENT_REDIRECT)
        return L"";
    wchar_t location[INTERNET_MAX_URL_LENGTH] = L"";
    DWORD size = sizeof location - sizeof(wchar_t);
    wchar_t target[INTERNET_MAX_URL_LENGTH] = L"";
    DWORD length = INTERNET_MAX_URL_LENGTH;
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location, &size, nullptr) ||
        !InternetCombineUrlW(url.c_str(), location, target, &length, ICU_NO_ENCODE))
        return L"";
    return target;
}

// Reads the answer of a request into transfer.answer, never more than one
// byte past the bound: an answer that does not fit is refused.
bool ReadAnswer(Transfer &transfer, HINTERNET request)
{
    std::vector<BYTE> &answer = transfer.answer;
    answer.resize(transfer.maxBytes + 1);
    DWORD held = 0;
    for (;;) {
        // Reads only what has come, so that the deadline is looked at
        // between bytes that trickle.
        DWORD available = 0, read = 0;
        if (!SetTimeouts(request, transfer.deadline) || !InternetQueryDataAvailable(request, &available, 0, 0))
            return false;
        if (available == 0)
            break;
        DWORD room = transfer.maxBytes + 1 - held;
        if (!InternetReadFile(request, answer.data() + held, available < room ? available : room, &read))
            return false;
        if (read == 0)
            break;
        held += read;
        if (held > transfer.maxBytes)
            return false;
    }
    answer.resize(held);
    return held > 0;
}

// The transfer's work, on its thread: the URL, and the redirects that stay
// on http, until an answer or a refusal.
bool Fetch(Transfer &transfer)
{
    HINTERNET session = InternetOpenW(L"Kestrava", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session)
        return false;
    EnterCriticalSection(&transfer.lock);
    bool abandoned = transfer.abandoned;
    if (!abandoned)
        transfer.session = session;
    LeaveCriticalSection(&transfer.lock);
    if (abandoned) {
        InternetCloseHandle(session);
        return false;
    }
    std::wstring url = transfer.url;
    for (int redirects = 0; redirects <= MAX_REDIRECTS; redirects++) {
        HINTERNET connection = nullptr, request = nullptr;
        DWORD status = 0, size = sizeof status;
        if (!SendRequest(session, url, transfer.deadline, connection, request) ||
            !HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
            status = 0;
        bool whole = status == HTTP_STATUS_OK && ReadAnswer(transfer, request);
        url = status == HTTP_STATUS_OK || status == 0 ? L"" : RedirectTarget(request, status, url);
        if (request)
            InternetCloseHandle(request);
        if (connection)
            InternetCloseHandle(connection);
        if (url.empty())
            return whole;
    }
    return false;
}

DWORD WINAPI TransferThread(LPVOID parameter)
{
    Transfer *transfer = static_cast<Transfer *>(parameter);
    transfer->whole = Fetch(*transfer);
    CloseSession(*transfer, false);
    Release(transfer);
    return 0;
}

}  // namespace

bool RetrieveWithinBounds(const wchar_t *url, ULONGLONG deadline, DWORD maxBytes, std::vector<BYTE> &answer)
{
    DWORD left = MillisecondsLeft(deadline);
    if (left == 0)
        return false;
    Transfer *transfer = new Transfer;
    InitializeCriticalSection(&transfer->lock);
    transfer->url = url;
    transfer->deadline = deadline;
    transfer->maxBytes = maxBytes;
    HANDLE thread = CreateThread(nullptr, 0, TransferThread, transfer, 0, nullptr);
    if (!thread) {
        transfer->references = 1;
        Release(transfer);
        return false;
    }
    bool ended = WaitForSingleObject(thread, left) == WAIT_OBJECT_0;
    CloseHandle(thread);
    bool whole = ended && transfer->whole;
    if (whole)
        answer.swap(transfer->answer);
    else if (!ended)
        CloseSession(*transfer, true);
    Release(transfer);
    return whole;
}
