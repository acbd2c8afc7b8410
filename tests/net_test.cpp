#include "net/net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

Net_Address loopback(uint16_t hostOrderPort) {
    Net_Address addr;
    addr.host = htonl(INADDR_LOOPBACK);
    addr.port = htons(hostOrderPort);
    return addr;
}

bool wait_for(int fd, short events, int timeoutMs) {
    pollfd entry = {fd, events, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

// Accepts the next connection on a listening descriptor, waiting up to 5 s.
int accept_peer(int listener) {
    if (!wait_for(listener, POLLIN, 5000))
        return -1;
    return accept(listener, nullptr, nullptr);
}

// The descriptor the next open would get: unchanged after an operation that
// released everything it acquired.
int lowest_free_descriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

long elapsed_ms(steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

int int_option(int fd, int level, int name) {
    int value = 0;
    socklen_t length = sizeof(value);
    getsockopt(fd, level, name, &value, &length);
    return value;
}

// A loopback server on a port of the platform's choice, one client
// connected to it (in a set of capacity 1), and the accepted server side as
// a plain descriptor.
class NetConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Net_Init());
        const Net_Address any = loopback(0);
        m_pServer = Net_TCP_Open(&any, 1);
        ASSERT_NE(nullptr, m_pServer) << Net_GetError();
        m_pClient = Net_TCP_Open(&m_pServer->localAddress, 0);
        ASSERT_NE(nullptr, m_pClient) << Net_GetError();
        m_nPeer = accept_peer(m_pServer->channel);
        ASSERT_GE(m_nPeer, 0);
        m_pSet = Net_AllocSocketSet(1);
        ASSERT_NE(nullptr, m_pSet);
        ASSERT_EQ(1, Net_TCP_AddSocket(m_pSet, m_pClient));
    }

    void TearDown() override {
        Net_FreeSocketSet(m_pSet);
        if (m_nPeer >= 0)
            close(m_nPeer);
        Net_TCP_Close(m_pClient);
        Net_TCP_Close(m_pServer);
        Net_Quit();
    }

    void peer_sends(const std::string &text) {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send(m_nPeer, text.data(), text.size(), 0));
    }

    Net_TCPSocket *m_pServer = nullptr;
    Net_TCPSocket *m_pClient = nullptr;
    Net_SocketSet *m_pSet = nullptr;
    int m_nPeer = -1;
};

// ---- Opening -------------------------------------------------------------

TEST_F(NetConnection, ServerOnPortZeroReportsTheChosenPort) {
    sockaddr_in bound;
    socklen_t length = sizeof(bound);
    ASSERT_EQ(0, getsockname(m_pServer->channel, reinterpret_cast<sockaddr *>(&bound), &length));
    EXPECT_NE(0, m_pServer->localAddress.port);
    EXPECT_EQ(bound.sin_port, m_pServer->localAddress.port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), m_pServer->localAddress.host);
    EXPECT_EQ(1, m_pServer->isServer);

    Net_Address *peer = Net_TCP_GetPeerAddress(m_pClient);
    ASSERT_NE(nullptr, peer);
    EXPECT_EQ(m_pServer->localAddress.host, peer->host);
    EXPECT_EQ(m_pServer->localAddress.port, peer->port);
    EXPECT_EQ(0, m_pClient->isServer);
}

TEST_F(NetConnection, OpenedSocketsAreNonBlockingNoDelayAndCloseOnExec) {
    for (Net_TCPSocket *sock : {m_pServer, m_pClient}) {
        EXPECT_EQ(0, sock->ready);
        EXPECT_NE(0, fcntl(sock->channel, F_GETFL) & O_NONBLOCK);
        EXPECT_NE(0, fcntl(sock->channel, F_GETFD) & FD_CLOEXEC);
        EXPECT_NE(0, int_option(sock->channel, IPPROTO_TCP, TCP_NODELAY));
    }
}

TEST_F(NetConnection, ServerSocketCannotSendOrReceive) {
    char buffer[8] = {};
    EXPECT_EQ(-1, Net_TCP_Send(m_pServer, "x", 1));
    EXPECT_STREQ("Server sockets cannot send", Net_GetError());
    EXPECT_EQ(-1, Net_TCP_Recv(m_pServer, buffer, sizeof(buffer)));
    EXPECT_STREQ("Server sockets cannot receive", Net_GetError());
    EXPECT_EQ(nullptr, Net_TCP_GetPeerAddress(m_pServer));
}

TEST(NetOpen, FailuresRecordTheirTextAndReleaseEverything) {
    ASSERT_EQ(0, Net_Init());
    const Net_Address any = loopback(0);
    Net_TCPSocket *server = Net_TCP_Open(&any, 1);
    ASSERT_NE(nullptr, server);
    const Net_Address taken = server->localAddress;
    const int freeBefore = lowest_free_descriptor();

    EXPECT_EQ(nullptr, Net_TCP_Open(&taken, 1));
    EXPECT_STREQ("Couldn't bind to local port", Net_GetError());
    EXPECT_EQ(freeBefore, lowest_free_descriptor());

    Net_TCP_Close(server);
    const int freeAfterClose = lowest_free_descriptor();
    EXPECT_EQ(nullptr, Net_TCP_Open(&taken, 0)); // nobody listens there any more
    EXPECT_STREQ("Couldn't connect to remote host", Net_GetError());
    EXPECT_EQ(freeAfterClose, lowest_free_descriptor());

    EXPECT_EQ(nullptr, Net_TCP_Open(nullptr, 0));
    EXPECT_EQ(nullptr, Net_TCP_Open(nullptr, 1));
    Net_Quit();
}

// A listener that never accepts, with a backlog of 0 filled by other
// clients, so that the kernel drops every further connection request.
class NetFullListener : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Net_Init());
        m_nListener = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(m_nListener, 0);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(sa);
        ASSERT_EQ(0, bind(m_nListener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)));
        ASSERT_EQ(0, listen(m_nListener, 0));
        ASSERT_EQ(0, getsockname(m_nListener, reinterpret_cast<sockaddr *>(&sa), &length));
        m_Address.host = sa.sin_addr.s_addr;
        m_Address.port = sa.sin_port;
        for (int i = 0; i < 3; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ASSERT_GE(fd, 0);
            m_Fillers.push_back(fd);
            connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        }
        for (int fd : m_Fillers)
            wait_for(fd, POLLOUT, 200); // let the handshakes that can finish finish
    }

    void TearDown() override {
        close_all();
        Net_Quit();
    }

    void close_all() {
        for (int fd : m_Fillers)
            close(fd);
        m_Fillers.clear();
        if (m_nListener >= 0)
            close(m_nListener);
        m_nListener = -1;
    }

    int m_nListener = -1;
    std::vector<int> m_Fillers;
    Net_Address m_Address = {0, 0};
};

TEST_F(NetFullListener, CancelFlagAbandonsAConnectThatCannotComplete) {
    std::atomic<bool> cancel(false);
    std::atomic<bool> done(false);
    Net_TCPSocket *result = nullptr;
    std::thread opener([&] {
        result = Net_TCP_Open(&m_Address, 0, &cancel);
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(done.load()) << "the connect was expected to hang";
    cancel = true;
    for (int i = 0; i < 1000 && !done.load(); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_TRUE(done.load()) << "a cancelled connect did not return";
    if (!done.load())
        close_all(); // refuses the pending attempt so the thread can be joined
    opener.join();
    EXPECT_EQ(nullptr, result);
    EXPECT_STREQ("Couldn't connect to remote host", Net_GetError());
    Net_TCP_Close(result);
}

// ---- Sending and receiving -----------------------------------------------

TEST_F(NetConnection, SendsAndReceivesBothWays) {
    const char request[] = "hello server";
    ASSERT_EQ(static_cast<int>(sizeof(request)), Net_TCP_Send(m_pClient, request, sizeof(request)));
    char received[64] = {};
    ASSERT_TRUE(wait_for(m_nPeer, POLLIN, 5000));
    ASSERT_EQ(static_cast<ssize_t>(sizeof(request)), recv(m_nPeer, received, sizeof(received), 0));
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
    ASSERT_EQ(3, recv(m_pClient->channel, buffer, sizeof(buffer), 0));
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

    close(m_nPeer);
    m_nPeer = -1;
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
    EXPECT_FALSE(wait_for(m_nPeer, POLLIN, 100));
    EXPECT_EQ(-1, recv(m_nPeer, buffer, sizeof(buffer), MSG_DONTWAIT));

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

TEST_F(NetConnection, SendToResetPeerDoesNotRaiseSigpipe) {
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    ASSERT_EQ(SIG_DFL, current.sa_handler) << "the check needs SIGPIPE at its default action";

    const linger reset = {1, 0};
    ASSERT_EQ(0, setsockopt(m_nPeer, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)));
    close(m_nPeer);
    m_nPeer = -1;
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000)); // the reset makes it readable

    const char message[] = "after the reset";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, Net_TCP_Send(m_pClient, message, sizeof(message)));
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

// Raises the soft descriptor limit for a test and restores it afterwards.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t needed) {
        m_bValid = getrlimit(RLIMIT_NOFILE, &m_Saved) == 0;
        if (!m_bValid || m_Saved.rlim_cur == RLIM_INFINITY || m_Saved.rlim_cur >= needed)
            return;
        rlimit raised = m_Saved;
        raised.rlim_cur = needed;
        m_bValid = (m_Saved.rlim_max == RLIM_INFINITY || m_Saved.rlim_max >= needed) &&
                   setrlimit(RLIMIT_NOFILE, &raised) == 0;
        m_bRaised = m_bValid;
    }
    ~DescriptorLimit() {
        if (m_bRaised)
            setrlimit(RLIMIT_NOFILE, &m_Saved);
    }
    bool valid() const { return m_bValid; }

private:
    rlimit m_Saved;
    bool m_bValid = false;
    bool m_bRaised = false;
};

TEST_F(NetConnection, WaitsOnDescriptorsAbove1024) {
    const int high = 1100;
    DescriptorLimit limit(high + 10);
    if (!limit.valid())
        GTEST_SKIP() << "descriptor limit cannot be raised above " << high;
    const int moved = fcntl(m_pClient->channel, F_DUPFD_CLOEXEC, high);
    ASSERT_GE(moved, high);
    close(m_pClient->channel);
    m_pClient->channel = moved;

    EXPECT_EQ(0, Net_CheckSockets(m_pSet, 0));
    EXPECT_EQ(0, Net_SocketReady(m_pClient));
    peer_sends("far");
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000));
    EXPECT_EQ(1, Net_SocketReady(m_pClient));
    char buffer[8];
    EXPECT_EQ(3, Net_TCP_Recv(m_pClient, buffer, sizeof(buffer)));

    Net_TCP_Close(m_pClient); // before the limit goes back down
    m_pClient = nullptr;
}

// Plain descriptor pairs as set members, with the writing ends kept apart.
class NetSocketPairs : public ::testing::Test {
protected:
    void make(int count) {
        m_Members.resize(count);
        for (int i = 0; i < count; ++i) {
            int fds[2];
            ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
            m_Members[i].ready = 0;
            m_Members[i].channel = fds[0];
            m_Writers.push_back(fds[1]);
        }
    }
    void TearDown() override {
        for (size_t i = 0; i < m_Writers.size(); ++i) {
            close(m_Members[i].channel);
            close(m_Writers[i]);
        }
    }
    void write_to(int member) { ASSERT_EQ(1, write(m_Writers[member], "x", 1)); }

    std::vector<Net_GenericSocket> m_Members;
    std::vector<int> m_Writers;
};

TEST_F(NetSocketPairs, OnlyTheLastAddedMembersAreWaitedOn) {
    const int count = NET_MAX_WAIT_SOCKETS + 6;
    make(count);
    Net_SocketSet *set = Net_AllocSocketSet(count);
    ASSERT_NE(nullptr, set);
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(i + 1, Net_AddSocket(set, &m_Members[i]));

    const int lastLeftOut = count - NET_MAX_WAIT_SOCKETS - 1;
    write_to(0);
    write_to(lastLeftOut);
    EXPECT_EQ(0, Net_CheckSockets(set, 0));

    write_to(lastLeftOut + 1);
    write_to(count - 1);
    EXPECT_EQ(2, Net_CheckSockets(set, 5000));
    for (int i = 0; i < count; ++i) {
        const bool expected = i == lastLeftOut + 1 || i == count - 1;
        EXPECT_EQ(expected ? 1 : 0, Net_SocketReady(&m_Members[i])) << "member " << i;
    }
    Net_FreeSocketSet(set);
}

TEST_F(NetSocketPairs, MemberAddedTwiceCountsOnce) {
    make(2);
    Net_SocketSet *set = Net_AllocSocketSet(3);
    ASSERT_NE(nullptr, set);
    Net_AddSocket(set, &m_Members[0]);
    Net_AddSocket(set, &m_Members[1]);
    ASSERT_EQ(3, Net_AddSocket(set, &m_Members[0]));
    write_to(0);
    EXPECT_EQ(1, Net_CheckSockets(set, 5000));
    EXPECT_EQ(1, Net_SocketReady(&m_Members[0]));
    EXPECT_EQ(0, Net_SocketReady(&m_Members[1]));
    Net_FreeSocketSet(set);
}

TEST_F(NetSocketPairs, MemberWithoutOpenDescriptorFailsTheWait) {
    make(1);
    Net_GenericSocket closed = {0, dup(m_Members[0].channel)};
    ASSERT_GE(closed.channel, 0);
    close(closed.channel);
    Net_GenericSocket invalid = {0, NET_INVALID_CHANNEL};
    Net_SocketSet *set = Net_AllocSocketSet(2);
    ASSERT_NE(nullptr, set);
    Net_AddSocket(set, &m_Members[0]);
    Net_AddSocket(set, &closed);
    write_to(0);
    EXPECT_EQ(-1, Net_CheckSockets(set, 100));
    EXPECT_EQ(0, Net_SocketReady(&m_Members[0]));

    set->numSockets = 1;
    Net_AddSocket(set, &invalid);
    EXPECT_EQ(-1, Net_CheckSockets(set, 100));
    EXPECT_EQ(0, Net_SocketReady(&m_Members[0]));
    Net_FreeSocketSet(set);
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

std::string octets_of(uint32_t host) {
    unsigned char bytes[4];
    std::memcpy(bytes, &host, sizeof(bytes));
    std::ostringstream text;
    text << int(bytes[0]) << '.' << int(bytes[1]) << '.' << int(bytes[2]) << '.' << int(bytes[3]);
    return text.str();
}

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
    EXPECT_EQ(htonl(INADDR_LOOPBACK), host);
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
    EXPECT_EQ(htons(15306), swap_bytes16(15306));
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

} // namespace
