// Socket layer tests that depend on POSIX descriptors: close-on-exec,
// SIGPIPE, descriptors above select's limit, and socket pairs as set
// members.
#include "net/net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net_test_fixture.h"
#include "test_sockets.h"

namespace {

int int_option(int fd, int level, int name) {
    int value = 0;
    socklen_t length = sizeof(value);
    getsockopt(fd, level, name, &value, &length);
    return value;
}

} // namespace

TEST_F(NetConnection, OpenedSocketsAreNonBlockingNoDelayAndCloseOnExec) {
    for (Net_TCPSocket *sock : {m_pServer, m_pClient}) {
        EXPECT_EQ(0, sock->ready);
        EXPECT_NE(0, fcntl(sock->channel, F_GETFL) & O_NONBLOCK);
        EXPECT_NE(0, fcntl(sock->channel, F_GETFD) & FD_CLOEXEC);
        EXPECT_NE(0, int_option(sock->channel, IPPROTO_TCP, TCP_NODELAY));
    }
}

// The dead-link time-out bounds unacknowledged data and schedules keep-alive
// probes within it (a third of it idle, then four probes in whole seconds);
// 0 leaves the platform's own behaviour.
TEST_F(NetConnection, LinkOptionsSetTheTimeOutTheProbesAndTheSendBuffer) {
    const int platformSendBuffer = int_option(m_pClient->channel, SOL_SOCKET, SO_SNDBUF);
    EXPECT_EQ(0, Net_TCP_SetLinkOptions(m_pClient, 0, 0));
    EXPECT_EQ(0, int_option(m_pClient->channel, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(0, int_option(m_pClient->channel, IPPROTO_TCP, TCP_USER_TIMEOUT));
    EXPECT_EQ(platformSendBuffer, int_option(m_pClient->channel, SOL_SOCKET, SO_SNDBUF));

    const struct {
        uint32_t timeoutMs;
        int idleS, intervalS;
    } cases[] = {{60000, 20, 10}, {5000, 1, 1}, {300, 1, 1}, {0xFFFFFFFFu, 32767, 32767}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.timeoutMs);
        EXPECT_EQ(0, Net_TCP_SetLinkOptions(m_pClient, c.timeoutMs, 0));
        EXPECT_EQ(int(std::min<uint32_t>(c.timeoutMs, INT_MAX / 2)),
                  int_option(m_pClient->channel, IPPROTO_TCP, TCP_USER_TIMEOUT));
        EXPECT_EQ(1, int_option(m_pClient->channel, SOL_SOCKET, SO_KEEPALIVE));
        EXPECT_EQ(c.idleS, int_option(m_pClient->channel, IPPROTO_TCP, TCP_KEEPIDLE));
        EXPECT_EQ(c.intervalS, int_option(m_pClient->channel, IPPROTO_TCP, TCP_KEEPINTVL));
        EXPECT_EQ(4, int_option(m_pClient->channel, IPPROTO_TCP, TCP_KEEPCNT));
    }
    // Linux keeps twice the size asked for, for its bookkeeping.
    EXPECT_EQ(0, Net_TCP_SetLinkOptions(m_pClient, 0, 65536));
    EXPECT_EQ(2 * 65536, int_option(m_pClient->channel, SOL_SOCKET, SO_SNDBUF));
    EXPECT_EQ(-1, Net_TCP_SetLinkOptions(m_pServer, 5000, 65536));
    EXPECT_EQ(-1, Net_TCP_SetLinkOptions(nullptr, 5000, 65536));
}

TEST_F(NetConnection, SendToResetPeerDoesNotRaiseSigpipe) {
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    ASSERT_EQ(SIG_DFL, current.sa_handler) << "the check needs SIGPIPE at its default action";

    ASSERT_TRUE(raw_reset_on_close(m_nPeer));
    raw_close(m_nPeer);
    m_nPeer = NET_INVALID_CHANNEL;
    ASSERT_EQ(1, Net_CheckSockets(m_pSet, 5000)); // the reset makes it readable

    const char message[] = "after the reset";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, Net_TCP_Send(m_pClient, message, sizeof(message)));
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
