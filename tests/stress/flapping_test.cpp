// Load while the server keeps dropping the connection and coming back: eight
// host threads send, the server echoes, and between drops it closes, resets
// or stops listening for a while.
#include <chrono>
#include <map>
#include <thread>

#include "stress_test.h"

using testkit::ThunkConfig;
using testkit::WirePacket;

namespace {

const uint32_t FLOOD_THREADS = 8;
const uint32_t FLOOD_COUNT = 7000;
const uint32_t FLOOD_SIZE = 64; // the host prints echoed payloads of this size in full
const uint32_t FLOOD_PAUSE_US = 2000;

// Checks the echoed payloads that reached the host's callback: whole, and
// in rising order per thread. Returns the first fault, or an empty string.
std::string check_echoes(const std::vector<std::string> &lines, size_t *pEchoes) {
    std::map<uint32_t, uint32_t> lastSeq;
    *pEchoes = 0;
    for (const std::string &line : lines) {
        DataLine data;
        if (!parse_data_line(line, &data))
            continue;
        testkit::Bytes bytes;
        if (data.id >= FLOOD_THREADS || data.size != FLOOD_SIZE ||
            !testkit::FromHex(data.preview, &bytes) || bytes.size() != FLOOD_SIZE)
            return "not an echoed flood packet: " + line.substr(0, 200);
        const uint32_t seq = testkit::GetU32le(bytes.data() + 4);
        if (bytes != flood_payload(data.id, seq, FLOOD_SIZE))
            return "a torn echo: " + line.substr(0, 200);
        auto last = lastSeq.find(data.id);
        if (last != lastSeq.end() && seq <= last->second)
            return "thread " + std::to_string(data.id) + " echo " + std::to_string(seq) +
                   " after " + std::to_string(last->second);
        lastSeq[data.id] = seq;
        ++*pEchoes;
    }
    return std::string();
}

} // namespace

TEST_F(StressTest, EightSendersSurviveAFlappingServer) {
    StartServer();
    m_server.SetEcho(true);
    ThunkConfig config = Connecting();
    config.tryInterval = "0"; // a new attempt on every pass
    config.checkInterval = "0";
    LaunchHost(config);
    ASSERT_EQ("@cycle 1 0", Cmd("cycle 1")); // runtime background threads, if any, start now
    const size_t nThreads = proc_thread_count(HostPid());
    const size_t nFds = proc_fd_count(HostPid());
    ASSERT_EQ("@start 0 pfrec=1", Cmd("start"));
    WaitConnected();

    const std::string flood = "flood " + std::to_string(FLOOD_THREADS) + " " +
                              std::to_string(FLOOD_COUNT) + " " + std::to_string(FLOOD_SIZE) + " " +
                              std::to_string(FLOOD_PAUSE_US);
    ASSERT_TRUE(m_host.Host().WriteLine(flood));

    // Drop the link in turn by close, reset and a pause in listening, each
    // once the relay has been connected for a moment, until the flood ends.
    std::string reply;
    int nFlaps = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the flood did not finish";
        ASSERT_TRUE(proc_alive(HostPid())) << "the host died";
        if (!m_server.WaitForClient(5000)) {
            if (m_host.Host().WaitForLine("@flood ", 0, &reply))
                break;
            continue;
        }
        if (m_host.Host().WaitForLine("@flood ", 700, &reply))
            break;
        switch (nFlaps++ % 3) {
        case 0:
            m_server.CloseClient();
            break;
        case 1:
            m_server.ResetClient();
            break;
        default:
            ASSERT_TRUE(m_server.StopListening());
            m_server.ResetClient();
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ASSERT_TRUE(m_server.Restart());
            break;
        }
    }
    const uint32_t total = FLOOD_THREADS * FLOOD_COUNT;
    EXPECT_EQ("@flood " + std::to_string(total) + " 0", reply);
    EXPECT_GE(nFlaps, 4) << "the flood ended before the server had flapped enough";

    // The link comes back, and a last message goes through whole. The
    // server may have accepted an attempt and reset it before the relay saw
    // it connected (a failed attempt), and messages sent while the relay is
    // not connected are dropped, so the message is sent again until it
    // arrives.
    ASSERT_TRUE(m_server.WaitForClient(STRESS_WAIT_MS));
    auto last_marker = [&](WirePacket *pLast) {
        size_t n = 0;
        for (const testkit::ConnectionRecord &c : m_server.Connections())
            for (const WirePacket &packet : c.packets)
                if (packet.type == FLOOD_MARKER_TYPE) {
                    *pLast = packet;
                    ++n;
                }
        return n;
    };
    WirePacket marker;
    const size_t nMarkers = last_marker(&marker);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(STRESS_WAIT_MS);
    bool bArrived = false;
    while (!bArrived && std::chrono::steady_clock::now() < until) {
        ASSERT_EQ("@send 0", Cmd("send M 7 0102030405060708"));
        for (int i = 0; i < 20 && !bArrived; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            bArrived = last_marker(&marker) > nMarkers;
        }
    }
    ASSERT_TRUE(bArrived) << "no message went through after the flood";
    EXPECT_EQ(7u, marker.id);
    EXPECT_EQ("0102030405060708", testkit::ToHex(marker.data));

    std::vector<testkit::ConnectionRecord> connections = m_server.Connections();
    EXPECT_GE(connections.size(), static_cast<size_t>(nFlaps));
    std::map<uint32_t, size_t> perThread;
    EXPECT_EQ("", check_flood_stream(connections, FLOOD_THREADS, FLOOD_SIZE, &perThread));
    EXPECT_EQ(FLOOD_THREADS, perThread.size()) << "some thread got nothing through";

    // Stopped, the relay leaves no thread or descriptor of all its connections.
    EXPECT_EQ(0u, Cmd("exit").find("@exit "));
    EXPECT_TRUE(WaitForThreadCount(nThreads)) << proc_thread_count(HostPid()) << " threads";
    EXPECT_EQ(nFds, proc_fd_count(HostPid()));

    size_t nEchoes = 0;
    EXPECT_EQ("", check_echoes(m_host.Host().Lines(), &nEchoes));
    EXPECT_GT(nEchoes, 0u);
    size_t nDelivered = 0;
    for (const auto &entry : perThread)
        nDelivered += entry.second;
    RecordProperty("delivered", static_cast<int>(nDelivered));
    RecordProperty("flaps", nFlaps);
    RecordProperty("connections", static_cast<int>(connections.size()));
    RecordProperty("echoes", static_cast<int>(nEchoes));
}
