// lossy_path: makes the packets of a netfilter queue cross a slow, lossy
// path. Run inside a network namespace whose packet filter sends packets to
// queue N; each packet is dropped with the given chance (a fixed seed makes
// the choice repeatable) or held for the given delay and then let through,
// in the order it came. Speaks the queue's netlink protocol directly.
//
//   lossy_path --queue N --delay-ms D --loss-pct P --seed S
//
// Prints "ready" once bound to the queue, and at SIGTERM or SIGINT
// "lossy_path: <n> packets, <m> dropped" before it ends.
// The C library's network headers first: the kernel's then leave out what
// they define.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

volatile std::sig_atomic_t g_bStop = 0;

void OnStop(int) {
    g_bStop = 1;
}

struct Options {
    uint16_t nQueue = 0;
    int nDelayMs = 0;
    int nLossPct = 0;
    unsigned nSeed = 1;
};

// One netfilter-queue netlink message: header, family header, attributes.
class QueueMessage {
public:
    QueueMessage(uint16_t nType, uint16_t nQueue, uint16_t nFlags) : m_buf(NLMSG_HDRLEN) {
        nlmsghdr *header = reinterpret_cast<nlmsghdr *>(m_buf.data());
        header->nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_QUEUE << 8) | nType);
        header->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | nFlags);
        nfgenmsg family = {AF_UNSPEC, NFNETLINK_V0, htons(nQueue)};
        Append(&family, sizeof family);
    }
    void Attribute(uint16_t nType, const void *data, size_t n) {
        nlattr attr = {static_cast<uint16_t>(NLA_HDRLEN + n), nType};
        Append(&attr, sizeof attr);
        Append(data, n);
    }
    bool Send(int fd) {
        reinterpret_cast<nlmsghdr *>(m_buf.data())->nlmsg_len = static_cast<uint32_t>(m_buf.size());
        sockaddr_nl kernel = {};
        kernel.nl_family = AF_NETLINK;
        return sendto(fd, m_buf.data(), m_buf.size(), 0, reinterpret_cast<sockaddr *>(&kernel),
                      sizeof kernel) == static_cast<ssize_t>(m_buf.size());
    }

private:
    void Append(const void *data, size_t n) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        m_buf.insert(m_buf.end(), bytes, bytes + n);
        m_buf.resize(NLMSG_ALIGN(m_buf.size()));
    }
    std::vector<uint8_t> m_buf;
};

// Sends a configuration message and waits for the kernel's acknowledgement.
bool Configure(int fd, QueueMessage message) {
    if (!message.Send(fd))
        return false;
    alignas(nlmsghdr) uint8_t buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    const nlmsghdr *header = reinterpret_cast<const nlmsghdr *>(buf);
    if (n < static_cast<ssize_t>(NLMSG_HDRLEN) || header->nlmsg_type != NLMSG_ERROR)
        return false;
    return static_cast<const nlmsgerr *>(NLMSG_DATA(header))->error == 0;
}

int OpenQueue(uint16_t nQueue) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0)
        return -1;
    int nRcvBuf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &nRcvBuf, sizeof nRcvBuf);
    QueueMessage bind(NFQNL_MSG_CONFIG, nQueue, NLM_F_ACK);
    nfqnl_msg_config_cmd cmd = {NFQNL_CFG_CMD_BIND, 0, htons(AF_INET)};
    bind.Attribute(NFQA_CFG_CMD, &cmd, sizeof cmd);
    // Only the packet's id is needed, not its bytes.
    QueueMessage params(NFQNL_MSG_CONFIG, nQueue, NLM_F_ACK);
    nfqnl_msg_config_params mode = {0, NFQNL_COPY_META};
    params.Attribute(NFQA_CFG_PARAMS, &mode, sizeof mode);
    uint32_t nMaxLen = htonl(65536);
    params.Attribute(NFQA_CFG_QUEUE_MAXLEN, &nMaxLen, sizeof nMaxLen);
    if (!Configure(fd, bind) || !Configure(fd, params)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Verdict(int fd, uint16_t nQueue, uint32_t nId, uint32_t nVerdict) {
    QueueMessage message(NFQNL_MSG_VERDICT, nQueue, 0);
    nfqnl_msg_verdict_hdr verdict = {htonl(nVerdict), htonl(nId)};
    message.Attribute(NFQA_VERDICT_HDR, &verdict, sizeof verdict);
    return message.Send(fd);
}

// The packet id of a queued-packet message; false for any other message.
bool PacketId(const nlmsghdr *header, uint32_t *pId) {
    if (header->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET))
        return false;
    const uint8_t *p =
        static_cast<const uint8_t *>(NLMSG_DATA(header)) + NLMSG_ALIGN(sizeof(nfgenmsg));
    const uint8_t *end = reinterpret_cast<const uint8_t *>(header) + header->nlmsg_len;
    while (p + NLA_HDRLEN <= end) {
        const nlattr *attr = reinterpret_cast<const nlattr *>(p);
        if (attr->nla_len < NLA_HDRLEN || p + attr->nla_len > end)
            return false;
        if ((attr->nla_type & NLA_TYPE_MASK) == NFQA_PACKET_HDR &&
            attr->nla_len >= NLA_HDRLEN + sizeof(nfqnl_msg_packet_hdr)) {
            nfqnl_msg_packet_hdr packet;
            std::memcpy(&packet, p + NLA_HDRLEN, sizeof packet);
            *pId = ntohl(packet.packet_id);
            return true;
        }
        p += NLA_ALIGN(attr->nla_len);
    }
    return false;
}

struct Held {
    uint32_t nId;
    Clock::time_point due;
};

class Path {
public:
    Path(int fd, const Options &opt) : m_fd(fd), m_opt(opt), m_random(opt.nSeed) {}

    void Run() {
        while (!g_bStop) {
            pollfd entry = {m_fd, POLLIN, 0};
            if (poll(&entry, 1, WaitMs()) > 0)
                Read();
            Release();
        }
        std::printf("lossy_path: %lu packets, %lu dropped\n", m_nPackets, m_nDropped);
    }

private:
    int WaitMs() const {
        if (m_held.empty())
            return 100;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_held.front().due -
                                                                          Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    }

    void Read() {
        alignas(nlmsghdr) static uint8_t buf[1 << 16];
        for (;;) {
            ssize_t n = recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                return;
            int left = static_cast<int>(n);
            for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf); NLMSG_OK(h, left);
                 h = NLMSG_NEXT(h, left)) {
                uint32_t nId;
                if (PacketId(h, &nId))
                    Take(nId);
            }
        }
    }

    void Take(uint32_t nId) {
        ++m_nPackets;
        if (static_cast<int>(m_random() % 100) < m_opt.nLossPct) {
            ++m_nDropped;
            Verdict(m_fd, m_opt.nQueue, nId, NF_DROP);
            return;
        }
        m_held.push_back({nId, Clock::now() + std::chrono::milliseconds(m_opt.nDelayMs)});
    }

    void Release() {
        Clock::time_point now = Clock::now();
        while (!m_held.empty() && m_held.front().due <= now) {
            Verdict(m_fd, m_opt.nQueue, m_held.front().nId, NF_ACCEPT);
            m_held.pop_front();
        }
    }

    int m_fd;
    Options m_opt;
    std::mt19937 m_random;
    std::deque<Held> m_held;
    unsigned long m_nPackets = 0;
    unsigned long m_nDropped = 0;
};

bool ParseOptions(int argc, char **argv, Options *pOpt) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (arg == "--queue")
            pOpt->nQueue = static_cast<uint16_t>(value);
        else if (arg == "--delay-ms")
            pOpt->nDelayMs = static_cast<int>(value);
        else if (arg == "--loss-pct")
            pOpt->nLossPct = static_cast<int>(value);
        else if (arg == "--seed")
            pOpt->nSeed = static_cast<unsigned>(value);
        else
            return false;
    }
    return argc % 2 == 1 && pOpt->nDelayMs >= 0 && pOpt->nLossPct >= 0 && pOpt->nLossPct <= 100;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: lossy_path --queue N --delay-ms D --loss-pct P --seed S\n");
        return 2;
    }
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    int fd = OpenQueue(opt.nQueue);
    if (fd < 0) {
        std::fprintf(stderr, "lossy_path: cannot bind to queue %u: %s\n", opt.nQueue,
                     std::strerror(errno));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Path(fd, opt).Run();
    close(fd);
    return 0;
}
