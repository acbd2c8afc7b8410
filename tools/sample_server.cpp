// sample_server: a small VOZevezu for host authors and scripts. It accepts
// the relay's connection on 127.0.0.1 (or the address given), prints the packets it receives,
// answers each "D" with a "D" echo, can send "K" and "C" packets at a pace,
// and can be told to misbehave.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "loopback_server.h"
#include "stop_request.h"

namespace {

typedef std::chrono::steady_clock Clock;
using testkit::Bytes;

std::mutex g_outMutex;

void Print(const char *format, ...) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

enum class Misbehave { NONE, CLOSE, RESET, GARBAGE, UNKNOWN_TYPE, STOP_READING, SILENT };

struct Options {
    std::string address = "127.0.0.1";
    uint16_t nPort = 0;
    bool bEcho = true;
    uint32_t nKEveryMs = 0;
    uint32_t nCEveryMs = 0;
    Misbehave misbehave = Misbehave::NONE;
    uint32_t nDurationS = 0;
    bool bQuiet = false;
};

std::string TypeText(uint8_t type) {
    if (type > ' ' && type < 0x7f)
        return std::string(1, static_cast<char>(type));
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", type);
    return text;
}

std::string ShortHex(const Bytes &data) {
    if (data.empty())
        return "-";
    size_t n = data.size() < 16 ? data.size() : 16;
    return testkit::ToHex(data.data(), n) + (data.size() > n ? "..." : "");
}

// What a misbehaving server does to each new client it keeps.
void GreetClient(testkit::LoopbackServer &server, Misbehave misbehave) {
    if (misbehave == Misbehave::GARBAGE) {
        // A length no receiver accepts, then bytes that are no packet at all.
        Bytes garbage = {0xff, 0xff, 0xff, 0x7f, 'g', 'a', 'r', 'b', 'a', 'g', 'e', '!'};
        server.SendRaw(garbage, 2000);
    } else if (misbehave == Misbehave::UNKNOWN_TYPE) {
        server.SendPacket('Z', 0, Bytes(), 2000);
    }
}

class Pacer {
public:
    explicit Pacer(uint32_t nEveryMs)
        : m_nEveryMs(nEveryMs), m_next(Clock::now() + std::chrono::milliseconds(nEveryMs)) {}
    bool Due() {
        if (m_nEveryMs == 0 || Clock::now() < m_next)
            return false;
        m_next = Clock::now() + std::chrono::milliseconds(m_nEveryMs);
        return true;
    }

private:
    uint32_t m_nEveryMs;
    Clock::time_point m_next;
};

int Serve(const Options &opt) {
    testkit::LoopbackServer server;
    bool bSilent = opt.misbehave == Misbehave::SILENT;
    server.SetRecordHistory(false);
    server.SetListenAddress(opt.address);
    server.SetEcho(opt.bEcho && !bSilent);
    if (opt.misbehave == Misbehave::CLOSE)
        server.SetAcceptAction(testkit::AcceptAction::CLOSE);
    if (opt.misbehave == Misbehave::RESET)
        server.SetAcceptAction(testkit::AcceptAction::RESET);
    if (opt.misbehave == Misbehave::STOP_READING)
        server.SetReading(false);
    if (!opt.bQuiet) {
        server.SetPacketHandler([](size_t nConnection, const testkit::WirePacket &packet) {
            Print("recv #%zu %s id=%u size=%zu %s", nConnection + 1, TypeText(packet.type).c_str(),
                  packet.id, packet.data.size(), ShortHex(packet.data).c_str());
        });
    }
    if (!server.Start(opt.nPort)) {
        std::fprintf(stderr, "sample_server: %s\n", server.Error().c_str());
        return 1;
    }
    testkit::WatchStopRequests();
    Print("listening on %s:%u", opt.address.c_str(), static_cast<unsigned>(server.Port()));

    Clock::time_point end = Clock::now() + std::chrono::seconds(opt.nDurationS);
    Pacer kPacer(bSilent ? 0 : opt.nKEveryMs);
    Pacer cPacer(bSilent ? 0 : opt.nCEveryMs);
    size_t nSeen = 0;
    bool bWasConnected = false;
    uint32_t nKId = 0;
    while (!testkit::StopRequested() && (opt.nDurationS == 0 || Clock::now() < end)) {
        for (size_t n = server.AcceptCount(); nSeen < n; ++nSeen) {
            if (!opt.bQuiet)
                Print("client #%zu connected", nSeen + 1);
            GreetClient(server, opt.misbehave);
        }
        bool bConnected = server.ClientConnected();
        if (bWasConnected && !bConnected && !opt.bQuiet)
            Print("client #%zu disconnected", nSeen);
        bWasConnected = bConnected;
        if (kPacer.Due() && bConnected) {
            ++nKId;
            Bytes body;
            testkit::PutU32le(&body, nKId * 10);
            server.SendPacket('K', nKId, body, 2000);
        }
        if (cPacer.Due() && bConnected)
            server.SendPacket('C', 0, Bytes(), 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server.Stop();
    Print("summary: received %zu packets (%llu bytes) in %zu connections, sent %zu packets",
          server.PacketCount(), static_cast<unsigned long long>(server.ByteCount()),
          server.AcceptCount(), server.SentPacketCount());
    return 0;
}

void PrintUsage() {
    std::printf("usage: sample_server [--bind ADDR] [--port N] [--no-echo] [--k-every MS]\n"
                "                     [--c-every MS] [--misbehave MODE] [--duration S] [--quiet]\n"
                "\n"
                "A VOZevezu for trying out hosts: listens on 127.0.0.1, prints each packet it\n"
                "receives and answers each \"D\" packet with a \"D\" of the same id and data.\n"
                "The first line is \"listening on <address>:<port>\".\n"
                "\n"
                "  --bind ADDR     local IPv4 address to listen on (default 127.0.0.1)\n"
                "  --port N        port to listen on; 0 picks a free one (default 0)\n"
                "  --no-echo       do not answer \"D\" packets\n"
                "  --k-every MS    send a \"K\" packet (id n, value 10 n) every MS milliseconds\n"
                "  --c-every MS    send a \"C\" keep-alive packet every MS milliseconds\n"
                "  --misbehave MODE\n"
                "      close         close each client as soon as it is accepted\n"
                "      reset         reset each client as soon as it is accepted\n"
                "      garbage       send each new client bytes with an invalid length field\n"
                "      unknown-type  send each new client a packet of type \"Z\"\n"
                "      stop-reading  never read, so the client's sends fill up and come up short\n"
                "      silent        read and print, but never send anything\n"
                "  --duration S    end after S seconds (default: run until SIGINT or SIGTERM,\n"
                "                  or on Windows Ctrl+C)\n"
                "  --quiet         print only the listening line and the summary line\n"
                "  --help          this text\n"
                "  --version       the version\n"
                "\n"
                "At the end a summary line gives the packet counts both ways.\n");
}

bool ParseNumber(const char *text, uint32_t nMax, uint32_t *pValue) {
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || value > nMax)
        return false;
    *pValue = static_cast<uint32_t>(value);
    return true;
}

bool ParseMisbehave(const std::string &text, Misbehave *pMode) {
    static const struct {
        const char *name;
        Misbehave mode;
    } kModes[] = {{"close", Misbehave::CLOSE},
                  {"reset", Misbehave::RESET},
                  {"garbage", Misbehave::GARBAGE},
                  {"unknown-type", Misbehave::UNKNOWN_TYPE},
                  {"stop-reading", Misbehave::STOP_READING},
                  {"silent", Misbehave::SILENT}};
    for (const auto &entry : kModes) {
        if (text == entry.name) {
            *pMode = entry.mode;
            return true;
        }
    }
    return false;
}

int UsageError(const std::string &text) {
    std::fprintf(stderr, "sample_server: %s (see --help)\n", text.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage();
            return 0;
        }
        if (arg == "--version") {
            std::printf("sample_server " RELAY_VERSION "\n");
            return 0;
        }
        if (arg == "--no-echo") {
            opt.bEcho = false;
            continue;
        }
        if (arg == "--quiet") {
            opt.bQuiet = true;
            continue;
        }
        if (i + 1 >= argc)
            return UsageError("unknown option or missing value: " + arg);
        const char *value = argv[++i];
        uint32_t number = 0;
        bool bOk = true;
        if (arg == "--bind") {
            opt.address = value;
        } else if (arg == "--port") {
            bOk = ParseNumber(value, 65535, &number);
            opt.nPort = static_cast<uint16_t>(number);
        } else if (arg == "--k-every") {
            bOk = ParseNumber(value, 86400000, &opt.nKEveryMs);
        } else if (arg == "--c-every") {
            bOk = ParseNumber(value, 86400000, &opt.nCEveryMs);
        } else if (arg == "--duration") {
            bOk = ParseNumber(value, 31536000, &opt.nDurationS);
        } else if (arg == "--misbehave") {
            bOk = ParseMisbehave(value, &opt.misbehave);
        } else {
            return UsageError("unknown option " + arg);
        }
        if (!bOk)
            return UsageError("bad value for " + arg + ": " + value);
    }
    return Serve(opt);
}
