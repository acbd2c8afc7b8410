// Socket layer tests that depend on Winsock: handles that child processes
// do not inherit, sends after a reset, and the 64-handle read set of select
// with real sockets as members.
//
// The POSIX tests without a counterpart here: descriptors above 1024 (a
// Winsock fd_set holds handles of any value; its limit is the count of 64,
// tested below) and SIGPIPE (Windows has no such signal; a send after a
// reset just fails, tested below).
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "net/net.h"
#include "net_test_fixture.h"
#include "test_sockets.h"

namespace {

bool inheritable(Net_Channel channel) {
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(channel), &flags));
    return (flags & HANDLE_FLAG_INHERIT) != 0;
}

// A listening socket in non-blocking mode fails an accept with nothing
// pending at once.
bool listener_is_nonblocking(Net_Channel channel) {
    return accept(static_cast<SOCKET>(channel), nullptr, nullptr) == INVALID_SOCKET &&
           WSAGetLastError() == WSAEWOULDBLOCK;
}

} // namespace

TEST_F(NetConnection, OpenedSocketsAreNonBlockingNoDelayAndNotInheritable) {
    EXPECT_TRUE(listener_is_nonblocking(m_pServer->channel));
    EXPECT_TRUE(raw_is_nonblocking(m_pClient->channel));
    for (Net_TCPSocket *sock : {m_pServer, m_pClient}) {
        EXPECT_EQ(0, sock->ready);
        EXPECT_FALSE(inheritable(sock->channel));
        EXPECT_TRUE(raw_nodelay(sock->channel));
    }
    // A plain socket is inheritable, so the check above can tell.
    const SOCKET plain = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, plain);
    EXPECT_TRUE(inheritable(static_cast<Net_Channel>(plain)));
    closesocket(plain);
}

// The send buffer takes the size asked for; the dead-link time-out sets the
// retransmission limit in whole seconds, rounded up, where Windows has it
// (Vista and later), or is refused by that option's name.
TEST_F(NetConnection, LinkOptionsSetTheSendBufferAndTheRetransmissionLimit) {
    const auto option = [this](int level, int name) {
        int value = 0;
        int length = sizeof(value);
        getsockopt(static_cast<SOCKET>(m_pClient->channel), level, name,
                   reinterpret_cast<char *>(&value), &length);
        return value;
    };
    EXPECT_EQ(0, Net_TCP_SetLinkOptions(m_pClient, 0, 65536));
    EXPECT_EQ(65536, option(SOL_SOCKET, SO_SNDBUF));
    const int TCP_MAXRT_OPTION = 5;
    if (Net_TCP_SetLinkOptions(m_pClient, 4500, 0) == 0)
        EXPECT_EQ(5, option(IPPROTO_TCP, TCP_MAXRT_OPTION));
    else
        EXPECT_STREQ("Couldn't set TCP_MAXRT", Net_GetError());
    EXPECT_EQ(-1, Net_TCP_SetLinkOptions(m_pServer, 4500, 65536));
}

TEST_F(NetConnection, SendAfterPeerResetReturnsZero) {
    ASSERT_TRUE(raw_reset_on_close(m_nPeer));
    raw_close(m_nPeer);
    m_nPeer = NET_INVALID_CHANNEL;
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000)); // the reset makes it readable

    const char message[] = "after the reset";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, Net_TCP_Send(m_pClient, message, sizeof(message)));
}

// Loopback connections whose client sockets are set members, with the
// accepted ends kept apart for writing.
class NetManyConnections : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Net_Init());
        const Net_Address any = loopback(0);
        m_pServer = Net_TCP_Open(&any, 1);
        ASSERT_NE(nullptr, m_pServer) << Net_GetError();
    }
    void TearDown() override {
        for (Net_Channel peer : m_Peers)
            raw_close(peer);
        for (Net_TCPSocket *client : m_Clients)
            Net_TCP_Close(client);
        Net_TCP_Close(m_pServer);
        Net_Quit();
    }
    void make(int count) {
        for (int i = 0; i < count; ++i) {
            Net_TCPSocket *client = Net_TCP_Open(&m_pServer->localAddress, 0);
            ASSERT_NE(nullptr, client) << Net_GetError();
            m_Clients.push_back(client);
            const Net_Channel peer = raw_accept(m_pServer->channel);
            ASSERT_NE(NET_INVALID_CHANNEL, peer);
            m_Peers.push_back(peer);
        }
    }
    void write_to(int member) { ASSERT_EQ(1, raw_send(m_Peers[member], "x", 1)); }
    // Waits until the byte written to the member has arrived.
    void arrived(int member) { ASSERT_TRUE(raw_wait_readable(m_Clients[member]->channel, 5000)); }

    Net_TCPSocket *m_pServer = nullptr;
    std::vector<Net_TCPSocket *> m_Clients;
    std::vector<Net_Channel> m_Peers;
};

TEST_F(NetManyConnections, OnlyTheLast64AddedMembersAreWaitedOn) {
    const int count = NET_MAX_WAIT_SOCKETS + 6;
    make(count);
    Net_SocketSet *set = Net_AllocSocketSet(count);
    ASSERT_NE(nullptr, set);
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(i + 1, Net_TCP_AddSocket(set, m_Clients[i]));

    const int lastLeftOut = count - NET_MAX_WAIT_SOCKETS - 1;
    for (int member : {0, lastLeftOut}) {
        write_to(member);
        arrived(member);
    }
    EXPECT_EQ(0, Net_CheckSockets(set, 0));

    for (int member : {lastLeftOut + 1, count - 1}) {
        write_to(member);
        arrived(member);
    }
    EXPECT_EQ(2, Net_CheckSockets(set, 5000));
    for (int i = 0; i < count; ++i) {
        const bool expected = i == lastLeftOut + 1 || i == count - 1;
        EXPECT_EQ(expected ? 1 : 0, Net_SocketReady(m_Clients[i])) << "member " << i;
    }
    Net_FreeSocketSet(set);
}

TEST_F(NetManyConnections, MemberAddedTwiceCountsOnce) {
    make(2);
    Net_SocketSet *set = Net_AllocSocketSet(3);
    ASSERT_NE(nullptr, set);
    Net_TCP_AddSocket(set, m_Clients[0]);
    Net_TCP_AddSocket(set, m_Clients[1]);
    ASSERT_EQ(3, Net_TCP_AddSocket(set, m_Clients[0]));
    write_to(0);
    EXPECT_EQ(1, Net_CheckSockets(set, 5000));
    EXPECT_EQ(1, Net_SocketReady(m_Clients[0]));
    EXPECT_EQ(0, Net_SocketReady(m_Clients[1]));
    Net_FreeSocketSet(set);
}

TEST_F(NetManyConnections, MemberWithoutOpenSocketFailsTheWait) {
    make(1);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    closesocket(s);
    Net_GenericSocket closed = {0, static_cast<Net_Channel>(s)};
    Net_GenericSocket invalid = {0, NET_INVALID_CHANNEL};
    Net_SocketSet *set = Net_AllocSocketSet(2);
    ASSERT_NE(nullptr, set);
    Net_TCP_AddSocket(set, m_Clients[0]);
    Net_AddSocket(set, &closed);
    write_to(0);
    arrived(0);
    EXPECT_EQ(-1, Net_CheckSockets(set, 100));
    EXPECT_EQ(0, Net_SocketReady(m_Clients[0]));

    set->numSockets = 1;
    Net_AddSocket(set, &invalid);
    EXPECT_EQ(-1, Net_CheckSockets(set, 100));
    EXPECT_EQ(0, Net_SocketReady(m_Clients[0]));
    Net_FreeSocketSet(set);
}
