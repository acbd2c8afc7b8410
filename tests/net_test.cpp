// The socket layer over loopback and its platform-independent parts. Tests
// that depend on how the platform represents sockets are in
// net_posix_test.cpp and net_win32_test.cpp.
#include "net/net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net_test_fixture.h"
#include "test_sockets.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long elapsed_ms(steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

} // namespace

// ---- Opening -------------------------------------------------------------

TEST_F(NetConnection, ServerOnPortZeroReportsTheChosenPort) {
    EXPECT_NE(0, m_pServer->localAddress.port);
    EXPECT_EQ(raw_local_port(m_pServer->channel), m_pServer->localAddress.port);
    EXPECT_EQ(host_of(127, 0, 0, 1), m_pServer->localAddress.host);
    EXPECT_EQ(1, m_pServer->isServer);

    Net_Address *peer = Net_TCP_GetPeerAddress(m_pClient);
    ASSERT_NE(nullptr, peer);
    EXPECT_EQ(m_pServer->localAddress.host, peer->host);
    EXPECT_EQ(m_pServer->localAddress.port, peer->port);
    EXPECT_EQ(0, m_pClient->isServer);
}

TEST_F(NetConnection, ServerSocketCannotSendOrReceive) {
    char buffer[8] = {};
    EXPECT_EQ(-1, Net_TCP_Send(m_pServer, "x", 1));
    EXPECT_STREQ("Server sockets cannot send", Net_GetError());
    EXPECT_EQ(-1, Net_TCP_Recv(m_pServer, buffer, sizeof(buffer)));
    EXPECT_STREQ("Server sockets cannot receive", Net_GetError());
    EXPECT_EQ(nullptr, Net_TCP_GetPeerAddress(m_pServer));
}

// A connect that cannot complete gives up after its time-out, with or
// without a cancel flag beside it.
TEST_F(NetFullListener, TimeOutAbandonsAConnectThatCannotComplete) {
    std::atomic<bool> cancel(false);
    for (const std::atomic<bool> *pbCancel : {static_cast<const std::atomic<bool> *>(nullptr),
                                              static_cast<const std::atomic<bool> *>(&cancel)}) {
        const steady_clock::time_point start = steady_clock::now();
        Net_TCPSocket *result = Net_TCP_Open(&m_pListener->address(), 0, pbCancel, 300);
        const long took = elapsed_ms(start);
        if (result && took < 300) {
            Net_TCP_Close(result);
            GTEST_SKIP() << "this platform completes connects to a full listener";
        }
        EXPECT_EQ(nullptr, result);
        EXPECT_STREQ("Couldn't connect to remote host", Net_GetError());
        EXPECT_GE(took, 290) << "gave up before its time-out";
        EXPECT_LT(took, 20000) << "the time-out did not end the attempt";
        Net_TCP_Close(result);
    }
}

TEST_F(NetFullListener, CancelFlagAbandonsAConnectThatCannotComplete) {
    std::atomic<bool> cancel(false);
    std::atomic<bool> done(false);
    Net_TCPSocket *result = nullptr;
    std::thread opener([&] {
        result = Net_TCP_Open(&m_pListener->address(), 0, &cancel);
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    if (done.load()) {
        opener.join();
        Net_TCP_Close(result);
        GTEST_SKIP() << "this platform refuses connects to a full listener at once";
    }
    cancel = true;
    for (int i = 0; i < 1000 && !done.load(); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_TRUE(done.load()) << "a cancelled connect did not return";
    if (!done.load())
        m_pListener->close_all(); // refuses the pending attempt so the thread can be joined
    opener.join();
    EXPECT_EQ(nullptr, result);
    EXPECT_STREQ("Couldn't connect to remote host", Net_GetError());
    Net_TCP_Close(result);
}

TEST(NetOpen, FailuresRecordTheirTextAndReleaseEverything) {
    ASSERT_EQ(0, Net_Init());
    const Net_Address any = loopback(0);
    Net_TCPSocket *server = Net_TCP_Open(&any, 1);
    ASSERT_NE(nullptr, server);
    const Net_Address taken = server->localAddress;
    const Net_Channel freeBefore = raw_next_free_handle();
    ASSERT_NE(NET_INVALID_CHANNEL, freeBefore);

    EXPECT_EQ(nullptr, Net_TCP_Open(&taken, 1));
    EXPECT_STREQ("Couldn't bind to local port", Net_GetError());
    EXPECT_EQ(freeBefore, raw_next_free_handle());

    Net_TCP_Close(server);
    const Net_Channel freeAfterClose = raw_next_free_handle();
    EXPECT_EQ(nullptr, Net_TCP_Open(&taken, 0)); // nobody listens there any more
    EXPECT_STREQ("Couldn't connect to remote host", Net_GetError());
    EXPECT_EQ(freeAfterClose, raw_next_free_handle());

    EXPECT_EQ(nullptr, Net_TCP_Open(nullptr, 0));
    EXPECT_EQ(nullptr, Net_TCP_Open(nullptr, 1));
    Net_Quit();
}

// ---- Sending and receiving -----------------------------------------------

TEST_F(NetConnection, SendsAndReceivesBothWays) {
    const char request[] = "hello server";
    ASSERT_EQ(static_cast<int>(sizeof(request)), Net_TCP_Send(m_pClient, request, sizeof(request)));
    char received[64] = {};
    ASSERT_TRUE(raw_wait_readable(m_nPeer, 5000));
    ASSERT_EQ(static_cast<int>(sizeof(request)), raw_recv(m_nPeer, received, sizeof(received)));
    EXPECT_STREQ(request, received);

    peer_sends("and back");
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000));
    char reply[64] = {};
    ASSERT_EQ(8, Net_TCP_Recv(m_pClient, reply, sizeof(reply)));
    EXPECT_EQ("and back", std::string(reply, 8));
}

TEST_F(NetConnection, ReadyFlagLivesFromWaitToNextReceive) {
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 0));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));

    peer_sends("abc");
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000));
    EXPECT_EQ(1, Net_SocketReady(m_pClient));

    // Take the data behind the layer's back: later waits time out, the flag stays.
    char buffer[16];
    ASSERT_EQ(3, raw_recv(m_pClient->channel, buffer, sizeof(buffer)));
    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 0));
    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 50));
    EXPECT_EQ(1, Net_SocketReady(m_pClient));

    // A receive clears it, even one that finds nothing.
    EXPECT_EQ(-1, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer)));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));

    peer_sends("de");
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000));
    EXPECT_EQ(2, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer)));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
}

TEST_F(NetConnection, ReceiveReportsNothingPendingAndPeerClose) {
    char buffer[16];
    EXPECT_EQ(-1, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer)));

    raw_close(m_nPeer);
    m_nPeer = NET_INVALID_CHANNEL;
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000)); // end of stream counts as readable
    EXPECT_EQ(1, Net_SocketReady(m_pClient));
    EXPECT_EQ(0, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer)));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
}

TEST_F(NetConnection, EmptyAndInvalidSendsSendNothing) {
    EXPECT_EQ(0, Net_TCP_Send(m_pClient, "x", 0));
    EXPECT_EQ(0, Net_TCP_Send(m_pClient, nullptr, 0));
    EXPECT_EQ(0, Net_TCP_Send(m_pClient, nullptr, 5));
    EXPECT_EQ(0, Net_TCP_Send(m_pClient, "abc", -1));
    char buffer[8];
    EXPECT_FALSE(raw_wait_readable(m_nPeer, 100));
    EXPECT_EQ(-1, raw_recv_nowait(m_nPeer, buffer, sizeof(buffer)));

    peer_sends("z");
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000));
    EXPECT_EQ(-1, Net_TCP_Recv(m_pClient, nullptr, 8));
    EXPECT_EQ(-1, Net_TCP_Recv(m_pClient, buffer, -1));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
    EXPECT_EQ(1, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer))); // still there
}

TEST_F(NetConnection, FullSendBufferGivesShortCountWithoutBlocking) {
    const int size = 1 << 20;
    std::vector<char> chunk(size, 'x');
    int sent = size;
    for (int i = 0; i < 256 && sent == size; ++i) {
        sent = Net_TCP_Send(m_pClient, chunk.data(), size);
        ASSERT_GE(sent, 0);
    }
    EXPECT_LT(sent, size);
    // Once nothing more fits, a send returns 0 rather than an error.
    for (int i = 0; i < 1000 && sent != 0; ++i) {
        sent = Net_TCP_Send(m_pClient, chunk.data(), size);
        ASSERT_GE(sent, 0);
    }
    EXPECT_EQ(0, sent);
}

// ---- Readiness wait ------------------------------------------------------

TEST_F(NetConnection, WaitHonoursItsTimeOutAndZeroPolls) {
    steady_clock::time_point start = steady_clock::now();
    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 0));
    EXPECT_LT(elapsed_ms(start), 3000);

    start = steady_clock::now();
    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 300));
    EXPECT_GE(elapsed_ms(start), 250);
}

TEST(NetWait, EmptySetWaitsOutItsTimeOut) {
    Net_SocketSet *empty = Net_AllocSocketSet(2);
    ASSERT_NE(nullptr, empty);
    const steady_clock::time_point start = steady_clock::now();
    EXPECT_EQ(0, Net_CheckSockets(empty, 200));
    EXPECT_GE(elapsed_ms(start), 150);
    Net_FreeSocketSet(empty);
}

// ---- Waking a wait -------------------------------------------------------

TEST_F(NetConnection, WakeFromAnotherThreadEndsALongWait) {
    Net_Waker *waker = Net_AllocWaker();
    ASSERT_NE(nullptr, waker);
    std::atomic<bool> waiting(false);
    std::thread waker_thread([&] {
        while (!waiting)
            std::this_thread::yield();
        std::this_thread::sleep_for(milliseconds(50));
        Net_Wake(waker);
    });
    const steady_clock::time_point start = steady_clock::now();
    waiting = true;
    // Only the wake-up came: no member is ready and nothing is counted.
    EXPECT_EQ(0, Net_CheckSocketsOrWake(m_pSet, 60000, waker));
    EXPECT_LT(elapsed_ms(start), 30000);
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
    waker_thread.join();
    Net_FreeWaker(waker);
}

TEST_F(NetConnection, WakesBeforeAWaitAreFoldedIntoOne) {
    Net_Waker *waker = Net_AllocWaker();
    ASSERT_NE(nullptr, waker);
    for (int i = 0; i < 3; ++i)
        Net_Wake(waker);
    steady_clock::time_point start = steady_clock::now();
    EXPECT_EQ(0, Net_CheckSocketsOrWake(m_pSet, 60000, waker));
    EXPECT_LT(elapsed_ms(start), 30000);
    // Drained: the next wait runs its time again.
    start = steady_clock::now();
    EXPECT_EQ(0, Net_CheckSocketsOrWake(m_pSet, 300, waker));
    EXPECT_GE(elapsed_ms(start), 250);
    Net_FreeWaker(waker);
}

TEST_F(NetConnection, WakeDoesNotHideAReadyMember) {
    Net_Waker *waker = Net_AllocWaker();
    ASSERT_NE(nullptr, waker);
    peer_sends("x");
    Net_Wake(waker);
    // Data and wake-up may be seen by one wait or by two in a row.
    int ready = 0;
    for (int i = 0; i < 2 && ready == 0; ++i)
        ready = Net_CheckSocketsOrWake(m_pSet, 5000, waker);
    EXPECT_EQ(1, ready);
    EXPECT_EQ(1, Net_SocketReady(m_pClient));
    char byte = 0;
    EXPECT_EQ(1, Net_TCP_Recv(m_pClient, &byte, 1));
    EXPECT_EQ('x', byte);
    Net_FreeWaker(waker);
}

TEST(NetWait, NullWakerIsHarmless) {
    Net_Wake(nullptr);
    Net_FreeWaker(nullptr);
    Net_SocketSet *empty = Net_AllocSocketSet(1);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0, Net_CheckSocketsOrWake(empty, 0, nullptr));
    EXPECT_EQ(-1, Net_CheckSocketsOrWake(nullptr, 0, nullptr));
    Net_FreeSocketSet(empty);
}

// ---- Socket sets ---------------------------------------------------------

TEST(NetSocketSet, CapacityOneHoldsExactlyOne) {
    Net_SocketSet *set = Net_AllocSocketSet(1);
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(0, set->numSockets);
    EXPECT_EQ(1, set->maxSockets);
    EXPECT_EQ(nullptr, set->sockets[0]);

    Net_TCPSocket first = {};
    Net_TCPSocket second = {};
    EXPECT_EQ(0, Net_TCP_AddSocket(set, nullptr));
    EXPECT_EQ(1, Net_TCP_AddSocket(set, &first));
    Net_SetError("%s", "");
    EXPECT_EQ(-1, Net_TCP_AddSocket(set, &second));
    EXPECT_STREQ("socketset is full", Net_GetError());
    EXPECT_EQ(1, set->numSockets);
    EXPECT_EQ(&first, set->sockets[0]);
    EXPECT_EQ(1, Net_AddSocket(set, nullptr));
    Net_FreeSocketSet(set);
}

TEST(NetSocketSet, NullAndNegativeArgumentsAreHarmless) {
    EXPECT_EQ(nullptr, Net_AllocSocketSet(-1));
    Net_FreeSocketSet(nullptr);
    EXPECT_EQ(-1, Net_AddSocket(nullptr, nullptr));
    EXPECT_EQ(-1, Net_CheckSockets(nullptr, 0));
    EXPECT_EQ(0, Net_SocketReady(nullptr));
    char buffer[4];
    EXPECT_EQ(-1, Net_TCP_Send(nullptr, "x", 1));
    EXPECT_EQ(-1, Net_TCP_Recv(nullptr, buffer, sizeof(buffer)));
    EXPECT_EQ(nullptr, Net_TCP_GetPeerAddress(nullptr));
    Net_TCP_Close(nullptr);

    Net_SocketSet *empty = Net_AllocSocketSet(0);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0, Net_CheckSockets(empty, 0));
    Net_FreeSocketSet(empty);
}

// ---- Service counting and the error text ---------------------------------

TEST(NetService, InitsAreCountedAndMatchedByQuits) {
    const int base = g_nNetStarted;
    ASSERT_EQ(0, Net_Init());
    ASSERT_EQ(0, Net_Init());
    EXPECT_EQ(base + 2, g_nNetStarted);
    Net_Quit();
    EXPECT_EQ(base + 1, g_nNetStarted);
    Net_Quit();
    EXPECT_EQ(base, g_nNetStarted);
}

TEST(NetService, QuitWithoutInitDoesNothing) {
    const int base = g_nNetStarted;
    for (int i = 0; i < base; ++i)
        Net_Quit();
    ASSERT_EQ(0, g_nNetStarted);
    Net_Quit();
    EXPECT_EQ(0, g_nNetStarted);
    ASSERT_EQ(0, Net_Init());
    EXPECT_EQ(1, g_nNetStarted);
    Net_Quit();
    for (int i = 0; i < base; ++i)
        Net_Init();
}

TEST(NetService, ConcurrentInitsAndQuitsAreAllCounted) {
    const int base = g_nNetStarted;
    const int perThread = 100000;
    auto on_two_threads = [](void (*step)(), int times) {
        auto repeat = [step, times] {
            for (int i = 0; i < times; ++i)
                step();
        };
        std::thread first(repeat);
        std::thread second(repeat);
        first.join();
        second.join();
    };
    on_two_threads([] { Net_Init(); }, perThread);
    EXPECT_EQ(base + 2 * perThread, g_nNetStarted);
    on_two_threads(Net_Quit, perThread);
    EXPECT_EQ(base, g_nNetStarted);
}

TEST(NetError, TextIsFormattedAndBounded) {
    Net_SetError("%s %d", "code", 7);
    EXPECT_STREQ("code 7", Net_GetError());
    EXPECT_EQ(g_szNetError, Net_GetError());
    const std::string longText(3 * NET_ERROR_SIZE, 'e');
    Net_SetError("%s", longText.c_str());
    EXPECT_EQ(static_cast<size_t>(NET_ERROR_SIZE - 1), std::strlen(Net_GetError()));
}

// ---- Address helpers -----------------------------------------------------

namespace {

std::string octets_of(uint32_t host) {
    unsigned char bytes[4];
    std::memcpy(bytes, &host, sizeof(bytes));
    std::ostringstream text;
    text << int(bytes[0]) << '.' << int(bytes[1]) << '.' << int(bytes[2]) << '.' << int(bytes[3]);
    return text.str();
}

} // namespace

TEST(NetAddress, ParsesDottedTextInNetworkOrder) {
    const struct {
        const char *text;
        const char *octets;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},       {" 127. 0.0.1", "127.0.0.1"},
        {"1\t2 7.0.0.1\t", "127.0.0.1"},  {"1..2.3.4", "1.2.3.4"},
        {".10.20.30.40.", "10.20.30.40"}, {"255.0.255.007", "255.0.255.7"},
    };
    for (const auto &c : cases) {
        uint32_t host = 0xDEADBEEF;
        EXPECT_EQ(0, parse_dotted_ipv4(c.text, &host)) << c.text;
        EXPECT_EQ(c.octets, octets_of(host)) << c.text;
    }
    uint32_t host = 0;
    ASSERT_EQ(0, parse_dotted_ipv4("127.0.0.1", &host));
    EXPECT_EQ(loopback(0).host, host);
}

TEST(NetAddress, RejectsBadTextAndLeavesOutputAlone) {
    const struct {
        const char *text;
        int result;
    } cases[] = {
        {"256.1.1.1", -3}, {"1.2.3", -1}, {"1.2.3.4.5", -4}, {"1.2.3.x", -2},  {"1.2.3.1234", -1},
        {"", -1},          {"...", -1},   {" \t ", -1},      {"-1.2.3.4", -2}, {"1.2.3.4.5.6", -4},
    };
    for (const auto &c : cases) {
        uint32_t host = 0xDEADBEEF;
        EXPECT_EQ(c.result, parse_dotted_ipv4(c.text, &host)) << '"' << c.text << '"';
        EXPECT_EQ(0xDEADBEEFu, host) << '"' << c.text << '"';
    }
}

TEST(NetAddress, SwapsPortBytes) {
    EXPECT_EQ(0xCA3B, swap_bytes16(15306));
    EXPECT_EQ(loopback(15306).port, swap_bytes16(15306));
    EXPECT_EQ(15306, swap_bytes16(swap_bytes16(15306)));
}

TEST(NetAddress, PrintsHostAndPort) {
    Net_Address addr;
    ASSERT_EQ(0, parse_dotted_ipv4("127.0.0.1", &addr.host));
    addr.port = swap_bytes16(15306);
    std::ostringstream text;
    text << std::hex << addr;
    EXPECT_EQ("127.0.0.1-15306", text.str());

    ASSERT_EQ(0, parse_dotted_ipv4("255.255.255.255", &addr.host));
    addr.port = 0xFFFF;
    std::ostringstream high;
    high << addr;
    EXPECT_EQ("255.255.255.255-65535", high.str());
}
