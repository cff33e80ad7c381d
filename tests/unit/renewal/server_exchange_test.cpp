// ExchangeWithServer against a listener of the test's own on the renewal
// server's port.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "renewal/server_exchange.h"
#include "support/dismiss_boxes.h"
#include "support/server_port.h"
#include "support/unix_command.h"
#include "support/window_driver.h"

// Watching the reply buffers: every new[] and delete[] of the process goes
// through here while watchDeletes is set.
static std::atomic<bool> watchDeletes{false};
static std::mutex deletedMutex;
static std::set<void *> deletedArrays;
static std::set<void *> newArrays;
static int newArrayCount = 0;

static void *NewArray(size_t size)
{
    void *p = malloc(size ? size : 1);
    if (watchDeletes && p) {
        std::lock_guard<std::mutex> lock(deletedMutex);
        newArrays.insert(p);
        ++newArrayCount;
    }
    return p;
}
void *operator new[](size_t size)
{
    void *p = NewArray(size);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return NewArray(size);
}

void operator delete[](void *p) noexcept
{
    if (watchDeletes && p) {
        std::lock_guard<std::mutex> lock(deletedMutex);
        deletedArrays.insert(p);
    }
    free(p);
}
void operator delete[](void *p, size_t) noexcept
{
    operator delete[](p);
}

namespace {

std::vector<CK_BYTE *> released;

CK_RV RecordRelease(CK_BYTE *buffer)
{
    released.push_back(buffer);
    return CKR_OK;
}

struct Winsock {
    Winsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
} winsock;

// Listens on the renewal server's port on 127.0.0.1. Other test programs on
// this machine may hold it for a while: wait for it.
SOCKET ListenOnServerPort()
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(RENEWAL_SERVER_PORT);
    for (int tries = 0; tries < 1200; ++tries) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(s, (sockaddr *)&address, sizeof address) == 0 && listen(s, 5) == 0)
            return s;
        closesocket(s);
        Sleep(100);
    }
    return INVALID_SOCKET;
}

// Reads up to length bytes; whether they are the expected ones.
bool ReadRequest(SOCKET client, const CK_BYTE *expected, size_t length)
{
    std::string got;
    char buffer[4096];
    while (got.size() < length) {
        int n = recv(client, buffer, (int)std::min(sizeof buffer, length - got.size()), 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    return got == std::string((const char *)expected, length);
}

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        released.clear();
        releaseSentRequest = RecordRelease;
    }
    void TearDown() override
    {
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        if (portHolder)
            ReleaseServerPort(portHolder);
        if (server.joinable())
            server.join();
        releaseSentRequest = freeBuffer;
        serverSilenceLimitMs = SERVER_SILENCE_LIMIT_MS;
        serverExchangeDeadlineMs = SERVER_EXCHANGE_DEADLINE_MS;
        watchDeletes = false;
    }
    static void StartWatching()
    {
        std::lock_guard<std::mutex> lock(deletedMutex);
        deletedArrays.clear();
        newArrays.clear();
        newArrayCount = 0;
        watchDeletes = true;
    }
    // The arrays made while watching that were not released.
    static std::set<void *> Kept()
    {
        watchDeletes = false;
        std::set<void *> kept;
        for (void *p : newArrays)
            if (!deletedArrays.count(p))
                kept.insert(p);
        return kept;
    }
    // Serves the exchange's connection with the given behaviour on a thread.
    // Port 2000 is shared by every test program on this machine: a
    // connection whose first bytes are not the expected request is someone
    // else's and is closed.
    template <typename F> void Serve(const CK_BYTE *expected, size_t length, F behaviour)
    {
        listener = ListenOnServerPort();
        ASSERT_NE(INVALID_SOCKET, listener) << "port 2000 stayed busy";
        server = std::thread([this, expected, length, behaviour] {
            for (;;) {
                SOCKET client = accept(listener, nullptr, nullptr);
                if (client == INVALID_SOCKET)
                    return;
                bool ours = ReadRequest(client, expected, length);
                if (ours)
                    behaviour(client);
                closesocket(client);
                if (ours)
                    return;
            }
        });
    }

    SOCKET listener = INVALID_SOCKET;
    int portHolder = 0;
    std::thread server;
    CK_BYTE request[32] = "signed request";
};

TEST_F(ExchangeTest, NoListenerMeansFiveAttemptsASecondApartAndTheRequestStaysTheCallers)
{
    // The port is bound but not listening: every connection is refused.
    portHolder = HoldServerPortClosed(FreshWorkDir("exchange-no-listener") + "/holder.log");
    ASSERT_NE(0, portHolder);
    CK_BYTE *reply = (CK_BYTE *)0x1234;
    unsigned int replyLength = 77;
    auto start = std::chrono::steady_clock::now();
    int result = ExchangeWithServer(request, sizeof request, &reply, &replyLength);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(-2, result);
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 30.0);
    EXPECT_TRUE(released.empty());
    EXPECT_EQ((CK_BYTE *)0x1234, reply);
    EXPECT_EQ(77u, replyLength);
}

TEST_F(ExchangeTest, ServerClosingWithoutAnswerGivesNothingAndKeepsTheEarlierReply)
{
    Serve(request, sizeof request, [](SOCKET) {});
    CK_BYTE *earlier = new CK_BYTE[8]();
    CK_BYTE *reply = earlier;
    unsigned int replyLength = 8;
    bool sentWhole = false;
    watchDeletes = true;
    EXPECT_EQ(0, ExchangeWithServer(request, sizeof request, &reply, &replyLength, &sentWhole));
    watchDeletes = false;

    EXPECT_TRUE(sentWhole);
    EXPECT_EQ(0u, replyLength);
    EXPECT_EQ(earlier, reply);
    EXPECT_EQ(0u, deletedArrays.count(earlier));
    ASSERT_EQ(1u, released.size());
    EXPECT_EQ(request, released[0]);
    delete[] earlier;
}

TEST_F(ExchangeTest, ReplyInPiecesArrivesWholeAndReplacesTheEarlierReply)
{
    std::string sent(3000, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = (char)(i * 7 + i / 256);
    Serve(request, sizeof request, [&](SOCKET client) {
        send(client, sent.data(), 1024, 0);
        Sleep(200);
        send(client, sent.data() + 1024, 1024, 0);
        Sleep(200);
        send(client, sent.data() + 2048, 952, 0);
    });
    CK_BYTE *earlier = new CK_BYTE[8]();
    CK_BYTE *reply = earlier;
    unsigned int replyLength = 8;
    {
        std::lock_guard<std::mutex> lock(deletedMutex);
        deletedArrays.clear();
    }
    watchDeletes = true;
    EXPECT_EQ(0, ExchangeWithServer(request, sizeof request, &reply, &replyLength));
    watchDeletes = false;

    ASSERT_EQ(3000u, replyLength);
    EXPECT_EQ(sent, std::string((char *)reply, replyLength));
    EXPECT_NE(earlier, reply);
    EXPECT_EQ(1u, deletedArrays.count(earlier));
    EXPECT_EQ(1u, released.size());
    delete[] reply;
}

TEST_F(ExchangeTest, SendErrorIsShownAndTheExchangeGoesOn)
{
    // A request far larger than the socket buffers, and a server that resets
    // the connection instead of reading it: the send fails.
    std::vector<CK_BYTE> big(16 * 1024 * 1024, 0x5A);
    Serve(big.data(), 64, [](SOCKET client) {
        Sleep(500);
        linger hard = {1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, (const char *)&hard, sizeof hard);
    });
    CK_BYTE *reply = nullptr;
    unsigned int replyLength = 99;
    bool sentWhole = true;
    auto exchange = std::async(std::launch::async, [&] {
        return ExchangeWithServer(big.data(), (int)big.size(), &reply, &replyLength, &sentWhole);
    });

    HWND box = WaitForWindow(L"Ошибка", L"#32770", 20000);
    std::wstring text = box ? MessageBoxText(box) : L"";
    if (box)
        ClickButton(box, IDOK);
    ASSERT_TRUE(FinishDismissingBoxes(exchange));
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(L"The virtual circuit was reset by the remote side executing a hard or abortive close.For UDP sockets, "
              L"the remote host was unable to deliver a previously sent UDP datagram and responded with a Port "
              L"Unreachable ICMP packet.The application should close the socket as it is no longer usable.",
              text);
    int result = exchange.get();
    EXPECT_EQ(0, result);
    EXPECT_EQ(0u, replyLength);
    EXPECT_EQ(nullptr, reply);
    ASSERT_EQ(1u, released.size());
    EXPECT_EQ(big.data(), released[0]);
}

// A server that accepts and then falls silent: the exchange ends after the
// silence limit with what had arrived, while the server still holds the
// connection open.
TEST_F(ExchangeTest, SilenceEndsTheExchangeWithWhatArrived)
{
    serverSilenceLimitMs = 1000;
    for (size_t before : {(size_t)0, (size_t)100}) {
        SCOPED_TRACE(std::to_string(before) + " bytes before the silence");
        std::atomic<bool> serverDone{false};
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Serve(request, sizeof request, [&, before, release](SOCKET client) {
            std::string part(before, 'x');
            if (before)
                send(client, part.data(), (int)part.size(), 0);
            WaitForSingleObject(release, 15000);
            serverDone = true;
        });
        CK_BYTE *reply = nullptr;
        unsigned int replyLength = 77;
        EXPECT_EQ(0, ExchangeWithServer(request, sizeof request, &reply, &replyLength));
        EXPECT_FALSE(serverDone) << "the exchange waited for the server to close";
        SetEvent(release);
        EXPECT_EQ(before, replyLength);
        EXPECT_EQ(before > 0, reply != nullptr);
        delete[] reply;
        server.join();
        closesocket(listener);
        listener = INVALID_SOCKET;
        CloseHandle(release);
    }
}

// A server that sends a byte a second is never silent for the limit; the
// exchange still ends when its whole time is up, with what arrived.
TEST_F(ExchangeTest, TrickleEndsAtTheDeadline)
{
    serverSilenceLimitMs = 2500;
    serverExchangeDeadlineMs = 4000;
    std::atomic<bool> serverDone{false};
    Serve(request, sizeof request, [&](SOCKET client) {
        for (int i = 0; i < 30; ++i) {
            if (send(client, "x", 1, 0) != 1)
                return;
            Sleep(1000);
        }
        serverDone = true;
    });
    CK_BYTE *reply = nullptr;
    unsigned int replyLength = 0;
    EXPECT_EQ(0, ExchangeWithServer(request, sizeof request, &reply, &replyLength));
    EXPECT_FALSE(serverDone) << "the exchange waited for the server to close";
    EXPECT_GE(replyLength, 3u);
    EXPECT_LE(replyLength, 6u);
    delete[] reply;
}

// A server that never reads: the send stalls, fails after the silence limit
// with the platform's time-out error, and the exchange ends without reading.
TEST_F(ExchangeTest, StalledSendEndsTheExchange)
{
    serverSilenceLimitMs = 1000;
    std::vector<CK_BYTE> big(64 * 1024 * 1024, 0x5A);
    std::atomic<bool> serverDone{false};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Serve(big.data(), 64, [&, release](SOCKET) {
        WaitForSingleObject(release, 30000);
        serverDone = true;
    });
    CK_BYTE *reply = nullptr;
    unsigned int replyLength = 99;
    bool sentWhole = true;
    auto exchange = std::async(std::launch::async, [&] {
        return ExchangeWithServer(big.data(), (int)big.size(), &reply, &replyLength, &sentWhole);
    });
    HWND box = WaitForWindow(L"Ошибка", L"#32770", 20000);
    std::wstring text = box ? MessageBoxText(box) : L"";
    if (box)
        ClickButton(box, IDOK);
    ASSERT_TRUE(FinishDismissingBoxes(exchange));
    EXPECT_FALSE(serverDone) << "the exchange waited for the server to close";
    SetEvent(release);
    server.join();
    CloseHandle(release);
    EXPECT_EQ(L"The connection has been dropped, because of a network failure or because the system on the other "
              L"end went down without notice.",
              text);
    EXPECT_EQ(0, exchange.get());
    EXPECT_FALSE(sentWhole);
    EXPECT_EQ(0u, replyLength);
    EXPECT_EQ(nullptr, reply);
}

// Replies up to the bound arrive whole in a handful of allocations; one byte
// more, or a reply without end, ends the exchange with nothing kept.
TEST_F(ExchangeTest, RepliesAreBoundedAndGrowGeometrically)
{
    const size_t endless = 0;
    for (size_t length : {(size_t)MAX_REPLY_LENGTH, (size_t)MAX_REPLY_LENGTH + 1, endless}) {
        SCOPED_TRACE(length == endless ? std::string("endless") : std::to_string(length) + " bytes");
        std::atomic<size_t> sent{0};
        Serve(request, sizeof request, [&, length](SOCKET client) {
            std::string piece(1000, '\x42');
            while (length == endless || sent < length) {
                int n = (int)std::min(piece.size(), length == endless ? piece.size() : length - sent);
                int done = send(client, piece.data(), n, 0);
                if (done <= 0)
                    break;
                sent += done;
            }
        });
        released.clear();
        CK_BYTE *earlier = (CK_BYTE *)0x1234;
        CK_BYTE *reply = earlier;
        unsigned int replyLength = 8;
        StartWatching();
        int result = ExchangeWithServer(request, sizeof request, &reply, &replyLength);
        int allocations = newArrayCount;
        std::set<void *> kept = Kept();
        server.join();
        closesocket(listener);
        listener = INVALID_SOCKET;
        EXPECT_EQ(1u, released.size());
        if (length == MAX_REPLY_LENGTH) {
            EXPECT_EQ(0, result);
            ASSERT_EQ(length, replyLength);
            EXPECT_EQ(std::string(length, '\x42'), std::string((char *)reply, replyLength));
            EXPECT_EQ(std::set<void *>{reply}, kept);
            printf("[ figures ] a reply of %u bytes in pieces of at most 1024: %d allocations\n", replyLength,
                   allocations);
            EXPECT_LE(allocations, 16);
            delete[] reply;
        } else {
            EXPECT_EQ(EXCHANGE_REPLY_TOO_LONG, result);
            EXPECT_EQ(earlier, reply);
            EXPECT_EQ(8u, replyLength);
            EXPECT_TRUE(kept.empty());
            printf("[ figures ] the server sent %u bytes before the exchange closed\n", (unsigned)sent);
        }
    }
}

TEST(SendErrorTexts, UnknownCodesAndTheRussianCaptionAreCodePage1251)
{
    wchar_t wide[64] = L"";
    MultiByteToWideChar(1251, 0, SendErrorText(12345), -1, wide, 64);
    EXPECT_STREQ(L"Неизвестная ошибка", wide);
    EXPECT_STREQ("The socket is not connected.", SendErrorText(10057));
    EXPECT_STREQ("The network subsystem has failed.", SendErrorText(10050));
}

}  // namespace
