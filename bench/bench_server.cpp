#include "bench_server.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pinning.h"
#include "relay/packet.h"
#include "stamp.h"

namespace bench {

namespace {

const size_t IN_BUFFER = 1 << 20;
const size_t READ_CHUNK = 256 * 1024;
const size_t FLOOD_BYTES = 64 * 1024;
const int BUFFER_BYTES = 4 * 1024 * 1024;
const int SLICE_MS = 10;

} // namespace

bool BenchServer::Start(std::string *pError) {
    if (!m_in.Allocate(IN_BUFFER) || !m_flood.Allocate(FLOOD_BYTES + PACKET_MAX_IN)) {
        *pError = "out of memory";
        return false;
    }
    m_echo.reserve(IN_BUFFER);
    m_listen = testkit::OpenTcpSocket(false);
    if (m_listen == testkit::BAD_SOCKET) {
        *pError = "cannot open a socket: " + testkit::SocketErrorText(testkit::LastSocketError());
        return false;
    }
    // Large buffers, set before listening so that accepted sockets get the
    // window for them: the server must never be what limits the relay.
    testkit::SetReceiveBuffer(m_listen, BUFFER_BYTES);
    testkit::SetSendBuffer(m_listen, BUFFER_BYTES);
    if (!testkit::ListenLoopback(m_listen, 0, 4, pError))
        return false;
    m_nPort = testkit::BoundPort(m_listen);
    if (m_nPort == 0) {
        *pError = "cannot read the listener's port: " +
                  testkit::SocketErrorText(testkit::LastSocketError());
        return false;
    }
    m_thread = std::thread(&BenchServer::Serve, this);
    return true;
}

void BenchServer::Stop() {
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
    Drop();
    testkit::CloseSocket(m_listen);
    m_listen = testkit::BAD_SOCKET;
}

void BenchServer::StartFlood(uint32_t nPayload) {
    // Built while the thread is not flooding, so it is the only user.
    m_nFlood = 0;
    unsigned char packet[PACKET_MAX_IN];
    const uint32_t length = PACKET_HEADER_SIZE + nPayload;
    write_u32le(packet, length);
    packet[4] = PACKET_TYPE_DATA;
    std::memset(packet + PACKET_HEADER_SIZE, 0x5a, nPayload);
    m_nFloodPackets = 0;
    while (m_nFlood + length <= FLOOD_BYTES || m_nFloodPackets == 0) {
        write_u32le(packet + 5, m_nFloodPackets);
        std::memcpy(m_flood.data() + m_nFlood, packet, length);
        m_nFlood += length;
        ++m_nFloodPackets;
    }
    m_nFloodPos = 0;
    m_nFloodRounds = 0;
    m_bStamped = false;
    m_mode.store(MODE_FLOOD);
}

void BenchServer::StartStampedFlood() {
    m_bStamped = true;
    m_nNextStamp = 0;
    m_nStampedSent = 0;
    m_nFloodPos = 0;
    StampFloodBuffer();
    m_mode.store(MODE_FLOOD);
}

// Fills the flood buffer with the next stamped packets.
void BenchServer::StampFloodBuffer() {
    m_nFlood = 0;
    m_nFloodPackets = 0;
    for (;;) {
        const uint32_t length = PACKET_HEADER_SIZE + StampedPayloadSize(m_nNextStamp);
        if (m_nFlood >= FLOOD_BYTES) // the buffer has room for one more packet beyond
            break;
        unsigned char *p = m_flood.data() + m_nFlood;
        write_u32le(p, length);
        p[PACKET_LENGTH_SIZE] = PACKET_TYPE_DATA;
        write_u32le(p + 5, static_cast<uint32_t>(m_nNextStamp));
        StampPayload(p + PACKET_HEADER_SIZE, length - PACKET_HEADER_SIZE, m_nNextStamp);
        m_nFlood += length;
        ++m_nFloodPackets;
        ++m_nNextStamp;
    }
}

bool BenchServer::PinTo(int cpu) {
    return !m_thread.joinable() || PinThread(m_thread, cpu);
}

uint64_t BenchServer::StopFlood() {
    m_mode.store(MODE_COUNT);
    while (m_bFlooding.load())
        std::this_thread::yield();
    return m_bStamped ? m_nStampedSent.load() : m_nFloodRounds.load() * m_nFloodPackets;
}

void BenchServer::Serve() {
    while (!m_bStop.load()) {
        if (m_conn < 0) {
            Accept();
            continue;
        }
        if (m_mode.load() == MODE_FLOOD || m_bFlooding.load())
            FloodStep();
        else
            ReceiveStep();
    }
}

// Set-up, not serving: the kit's helpers wait, accept (close-on-exec,
// non-blocking) and turn off Nagle's delay.
void BenchServer::Accept() {
    if (!testkit::WaitReadable(m_listen, SLICE_MS))
        return;
    const testkit::Socket s = testkit::AcceptSocket(m_listen);
    if (s == testkit::BAD_SOCKET)
        return;
    testkit::SetNoDelay(s);
    m_conn = static_cast<int>(s);
    m_nIn = 0;
    m_nConnections.fetch_add(1);
}

void BenchServer::Drop() {
    if (m_conn >= 0)
        close(m_conn);
    m_conn = -1;
    m_nIn = 0;
    m_nFloodPos = 0;
    m_bFlooding = false;
}

// Sends the flood buffer round and round; a stop request takes effect only
// at the end of the buffer, so the stream never ends inside a packet.
void BenchServer::FloodStep() {
    m_bFlooding = true;
    if (m_nFloodPos == 0 && m_mode.load() != MODE_FLOOD) {
        m_bFlooding = false;
        return;
    }
    pollfd pfd = {m_conn, POLLOUT, 0};
    if (poll(&pfd, 1, SLICE_MS) <= 0)
        return;
    const ssize_t n =
        send(m_conn, m_flood.data() + m_nFloodPos, m_nFlood - m_nFloodPos, MSG_NOSIGNAL);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR)
            Drop();
        return;
    }
    m_nFloodPos += static_cast<size_t>(n);
    if (m_nFloodPos == m_nFlood) {
        m_nFloodPos = 0;
        m_nFloodRounds.fetch_add(1);
        if (m_bStamped) {
            m_nStampedSent.fetch_add(m_nFloodPackets);
            StampFloodBuffer();
        }
    }
}

void BenchServer::ReceiveStep() {
    pollfd pfd = {m_conn, POLLIN, 0};
    if (poll(&pfd, 1, SLICE_MS) <= 0)
        return;
    size_t room = m_in.size() - m_nIn;
    if (room > READ_CHUNK)
        room = READ_CHUNK;
    const ssize_t n = recv(m_conn, m_in.data() + m_nIn, room, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        Drop();
        return;
    }
    if (n < 0)
        return;
    m_nIn += static_cast<size_t>(n);
    Cut(m_mode.load() == MODE_ECHO);
}

// Counts the complete packets, answers "D" packets in echo mode, and keeps
// the incomplete tail for the next read.
void BenchServer::Cut(bool bEcho) {
    const unsigned char *p = m_in.data();
    size_t pos = 0;
    uint64_t nPackets = 0;
    uint64_t nBad = 0;
    const uint32_t expected = m_nExpected.load(std::memory_order_relaxed);
    m_echo.clear();
    while (m_nIn - pos >= PACKET_LENGTH_SIZE) {
        const uint32_t length = read_u32le(p + pos);
        if (length < PACKET_HEADER_SIZE || length > PACKET_MAX_IN) {
            // A broken stream cannot be framed again: count it and start over.
            m_nBad.fetch_add(1);
            Drop();
            return;
        }
        if (m_nIn - pos < length)
            break;
        const bool bData = p[pos + PACKET_LENGTH_SIZE] == PACKET_TYPE_DATA;
        if (bData && expected != 0 && length != expected)
            ++nBad;
        if (bData && bEcho)
            m_echo.insert(m_echo.end(), p + pos, p + pos + length);
        ++nPackets;
        pos += length;
    }
    std::memmove(m_in.data(), p + pos, m_nIn - pos);
    m_nIn -= pos;
    if (nBad)
        m_nBad.fetch_add(nBad);
    if (!m_echo.empty() && !SendAll(m_echo.data(), m_echo.size()))
        Drop();
    m_nPackets.fetch_add(nPackets, std::memory_order_release);
}

bool BenchServer::SendAll(const unsigned char *p, size_t n) {
    while (n > 0) {
        const ssize_t sent = send(m_conn, p, n, MSG_NOSIGNAL);
        if (sent > 0) {
            p += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd = {m_conn, POLLOUT, 0};
        poll(&pfd, 1, SLICE_MS);
    }
    return true;
}

} // namespace bench
