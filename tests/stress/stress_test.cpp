#include "stress_test.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host_script.h"

namespace fs = std::filesystem;

using testkit::Bytes;
using testkit::ConnectionRecord;
using testkit::WirePacket;

void StressTest::TearDown() {
    if (m_bLaunched && m_host.Host().Running()) {
        int status = m_host.Quit(STRESS_WAIT_MS);
        if (status != 0) {
            std::vector<std::string> lines = m_host.Host().Lines();
            size_t from = lines.size() > 60 ? lines.size() - 60 : 0;
            std::ostringstream tail;
            for (size_t i = from; i < lines.size(); ++i)
                tail << lines[i].substr(0, 300) << "\n";
            ADD_FAILURE() << "the host did not end cleanly (status " << status
                          << "); the end of its output:\n"
                          << tail.str();
        }
    }
    m_server.Stop();
}

std::vector<std::string> StressTest::WaitForCallbacks(const std::string &prefix, size_t n,
                                                      int nTimeoutMs) {
    auto matching = [&] {
        std::vector<std::string> found;
        for (const std::string &line : m_host.Host().Lines())
            if (line.compare(0, prefix.size(), prefix) == 0)
                found.push_back(line);
        return found;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    std::vector<std::string> found = matching();
    while (found.size() < n && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        found = matching();
    }
    return found;
}

std::string StressTest::LogTail(size_t nLines) const {
    std::vector<std::string> texts = LogTexts();
    std::string tail = "log tail:\n";
    for (size_t i = texts.size() > nLines ? texts.size() - nLines : 0; i < texts.size(); ++i)
        tail += texts[i] + "\n";
    return tail;
}

bool StressTest::WaitForThreadCount(size_t nThreads, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (proc_thread_count(HostPid()) != nThreads) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// ---- /proc ------------------------------------------------------------------

namespace {

size_t count_entries(const std::string &dir) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// A hexadecimal signal mask line of /proc/<pid>/status, such as "SigIgn:".
uint64_t status_mask(const std::string &path, const std::string &key) {
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0)
            return std::stoull(line.substr(key.size()), nullptr, 16);
    }
    return 0;
}

} // namespace

bool proc_alive(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return false;
    // The state follows the command name in parentheses, which may hold blanks.
    size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
           text[close + 2] != 'X';
}

size_t proc_thread_count(int pid) {
    return count_entries("/proc/" + std::to_string(pid) + "/task");
}

size_t proc_fd_count(int pid) {
    return count_entries("/proc/" + std::to_string(pid) + "/fd");
}

std::vector<int> proc_socket_fds(int pid) {
    std::vector<int> fds;
    std::error_code ec;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError && target.string().compare(0, 7, "socket:") == 0)
            fds.push_back(std::stoi(it->path().filename().string()));
    }
    return fds;
}

bool proc_signal_ignored_or_blocked(int pid, int nSignal) {
    const uint64_t bit = uint64_t(1) << (nSignal - 1);
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    return ((status_mask(status, "SigIgn:") | status_mask(status, "SigBlk:")) & bit) != 0;
}

// ---- Sample host output ------------------------------------------------------

bool parse_data_line(const std::string &line, DataLine *out) {
    if (line.compare(0, 3, "@D ") != 0)
        return false;
    std::istringstream in(line.substr(3));
    DataLine parsed;
    if (!(in >> parsed.id >> parsed.size))
        return false;
    in >> std::ws;
    std::getline(in, parsed.preview);
    *out = parsed;
    return true;
}

std::string data_preview(const Bytes &data) {
    return host::DataPreview(data.data(), static_cast<int32_t>(data.size()));
}

// ---- Flood streams -----------------------------------------------------------

Bytes flood_payload(uint32_t nThread, uint32_t nSeq, uint32_t nSize) {
    Bytes data(nSize);
    for (uint32_t i = 0; i < nSize; ++i)
        data[i] = static_cast<uint8_t>(i & 0xff);
    for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<uint8_t>(nThread >> (8 * i));
        data[4 + i] = static_cast<uint8_t>(nSeq >> (8 * i));
    }
    return data;
}

namespace {

const size_t LARGEST_OUTBOUND_PACKET = 809;

std::string where(size_t nConnection, size_t nPacket) {
    return "connection " + std::to_string(nConnection) + ", packet " + std::to_string(nPacket) +
           ": ";
}

// Bytes that the framed packets of a connection account for.
size_t framed_bytes(const std::vector<WirePacket> &packets) {
    size_t n = 0;
    for (const WirePacket &packet : packets)
        n += testkit::WIRE_HEADER_SIZE + packet.data.size();
    return n;
}

std::string check_connection_framing(const ConnectionRecord &record, size_t nConnection) {
    if (record.malformed)
        return "connection " + std::to_string(nConnection) + " carries a bad length";
    size_t framed = framed_bytes(record.packets);
    if (framed > record.raw.size())
        return "connection " + std::to_string(nConnection) + " framed more than it received";
    if (record.raw.size() - framed >= LARGEST_OUTBOUND_PACKET)
        return "connection " + std::to_string(nConnection) + " ends in " +
               std::to_string(record.raw.size() - framed) + " unframed bytes";
    return std::string();
}

} // namespace

std::string check_flood_stream(const std::vector<ConnectionRecord> &connections, uint32_t nThreads,
                               uint32_t nSize, std::map<uint32_t, size_t> *pPerThread,
                               SeqScope scope) {
    std::map<uint32_t, uint32_t> lastSeq;
    pPerThread->clear();
    for (size_t c = 0; c < connections.size(); ++c) {
        std::string error = check_connection_framing(connections[c], c);
        if (!error.empty())
            return error;
        if (scope == SeqScope::EACH_CONNECTION)
            lastSeq.clear();
        const std::vector<WirePacket> &packets = connections[c].packets;
        for (size_t p = 0; p < packets.size(); ++p) {
            const WirePacket &packet = packets[p];
            if (packet.type == FLOOD_MARKER_TYPE)
                continue;
            if (packet.type == 'C') {
                if (packet.id != 0 || !packet.data.empty())
                    return where(c, p) + "a keep-alive with an id or data";
                continue;
            }
            if (packet.type != 'D' || packet.id >= nThreads || packet.data.size() != nSize)
                return where(c, p) + "not a flood packet (type " + std::to_string(packet.type) +
                       ", id " + std::to_string(packet.id) + ", size " +
                       std::to_string(packet.data.size()) + ")";
            const uint32_t seq = testkit::GetU32le(packet.data.data() + 4);
            if (packet.data != flood_payload(packet.id, seq, nSize))
                return where(c, p) + "a payload torn or mixed with another";
            auto last = lastSeq.find(packet.id);
            if (last != lastSeq.end() && seq <= last->second)
                return where(c, p) + "thread " + std::to_string(packet.id) + " sent " +
                       std::to_string(seq) + " after " + std::to_string(last->second);
            lastSeq[packet.id] = seq;
            ++(*pPerThread)[packet.id];
        }
    }
    return std::string();
}
