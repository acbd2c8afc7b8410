// relay_bench: a host that measures the relay against raw sockets doing the
// same work in the same process. It starts its own loopback servers, writes
// the relay's configuration beside itself, loads the built module as a host
// does, runs interleaved relay/raw rounds and prints medians, the ratio
// relay/raw, and whether each target is met.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "alloc_count.h"
#include "pinning.h"
#include "report.h"
#include "run_util.h"
#include "runs.h"

#ifndef RELAY_MODULE_PATH
#define RELAY_MODULE_PATH "DEZuzovEzodid.so"
#endif

namespace bench {
namespace {

struct Options {
    int rounds = 11;
    double seconds = 0.5;
    int rttSamples = 2000;
    int cycles = 7;
    std::string module = RELAY_MODULE_PATH;
    std::string filter; // runs only the figures whose name holds it
    bool verbose = false;
    bool quick = false;
    std::vector<Method> methods = {METHOD_OLD, METHOD_LOADED};
    double integrityMillions = 20; // stamped packets checked after the figures
    bool integrityOnly = false;

    bool Wants(const std::string &figure) const { return figure.find(filter) != std::string::npos; }
};

void usage() {
    std::printf(
        "usage: relay_bench [--quick] [--rounds N] [--seconds S] [--only TEXT] [--verbose]\n"
        "                   [--method old|loaded|both] [--integrity MILLIONS] [--module PATH]\n"
        "  Measures the relay module against raw loopback sockets in one process:\n"
        "  host->server and server->host throughput, round trip, allocations per\n"
        "  message, and the times of sh_load_start and sh_load_exit.\n"
        "  --quick        a short smoke run (3 rounds of 0.1 s)\n"
        "  --rounds N     interleaved relay/raw rounds per figure (default 11)\n"
        "  --seconds S    time of each side in one throughput round (default 0.5)\n"
        "  --only TEXT    only the figures whose name holds TEXT (e.g. server->host)\n"
        "  --verbose      also print every round\n"
        "  --method M     old: threads where the system puts them, a host that spins\n"
        "                 for its answer; loaded: host and relay threads on CPU 0, the\n"
        "                 servers on CPU 1, a lean raw reader, a host that spins 200 us\n"
        "                 and then blocks; both (default): one after the other\n"
        "  --integrity M  only the integrity check: M million stamped packets through\n"
        "                 the relay, each checked (number, size, checksum)\n"
        "  --module PATH  the module to load (default: the one built beside it)\n");
}

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            o->rounds = 3;
            o->seconds = 0.1;
            o->rttSamples = 300;
            o->cycles = 2;
            o->quick = true;
            o->integrityMillions = 1;
        } else if (a == "--rounds" && hasValue) {
            o->rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--seconds" && hasValue) {
            o->seconds = std::max(0.01, std::atof(argv[++i]));
        } else if (a == "--only" && hasValue) {
            o->filter = argv[++i];
        } else if (a == "--method" && hasValue) {
            const std::string m = argv[++i];
            if (m == "old")
                o->methods = {METHOD_OLD};
            else if (m == "loaded")
                o->methods = {METHOD_LOADED};
            else if (m != "both") {
                usage();
                return false;
            }
        } else if (a == "--integrity" && hasValue) {
            o->integrityMillions = std::max(0.001, std::atof(argv[++i]));
            o->integrityOnly = true;
        } else if (a == "--verbose") {
            o->verbose = true;
        } else if (a == "--module" && hasValue) {
            o->module = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage();
            std::exit(0);
        } else {
            usage();
            return false;
        }
    }
    return true;
}

// Sends standard output to relay_console.txt beside the executable; returns
// a stream on the original standard output.
FILE *divert_stdout() {
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    const std::string file = testkit::ExecutableDir() + "/relay_console.txt";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (original < 0 || fd < 0) {
        std::fprintf(stderr, "relay_bench: cannot write %s\n", file.c_str());
        return nullptr;
    }
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return fdopen(original, "w");
}

bool fail(const std::string &what) {
    std::fprintf(stderr, "relay_bench: %s\n", what.c_str());
    return false;
}

bool set_up(Context &ctx, const Options &o) {
    std::string error;
    if (!ctx.module.Load(o.module, &error) || !ctx.relayServer.Start(&error) ||
        !ctx.rawServer.Start(&error) || !WriteRelayConfig(ctx.relayServer.Port(), &error) ||
        !OpenRawLinks(ctx, &error))
        return fail(error);
    const uint64_t a0 = allocation_count();
    const int32_t result = ctx.module.load_start(OnData, &ctx.pfRec);
    if (result != 0)
        return fail("sh_load_start returned " + std::to_string(result) + "; see the log in " +
                    testkit::ExecutableDir());
    // The relay object is made on the heap: seeing it proves that the
    // module's allocations are counted.
    if (allocation_count() == a0)
        return fail("the allocation counter does not see the module's allocations");
    if (!WaitLinkUp(ctx))
        return fail("the relay did not connect to the benchmark's server");
    return true;
}

bool check(const Outcome &out, const char *what) {
    if (!out.ok)
        return fail(std::string(what) + ": " + out.error);
    return true;
}

// Interleaved rounds of one throughput figure. Each round gives both sides
// fresh connections, then runs both twice, in the order relay, raw, raw,
// relay (raw first in the next round), so that drift and the order of runs
// weigh the same on both sides.
template <class RelayRun, class RawRun>
bool throughput(Context &ctx, Report &report, const std::string &name, const Options &o,
                FILE *table, RelayRun relay, RawRun raw) {
    if (!o.Wants(name))
        return true;
    Figure fig = Figure::Throughput(name);
    std::string error;
    for (int r = 0; r < o.rounds; ++r) {
        if (!FreshLinks(ctx, &error))
            return fail(name + ": " + error);
        double relayRate = 0, rawRate = 0;
        for (int k = 0; k < 2; ++k) {
            Outcome a, b;
            if ((r + k) % 2 == 0) {
                a = relay();
                b = raw();
            } else {
                b = raw();
                a = relay();
            }
            if (!check(a, name.c_str()) || !check(b, name.c_str()))
                return false;
            relayRate += a.perSecond / 2;
            rawRate += b.perSecond / 2;
            report.CountAllocations(name, a.allocations, a.messages);
        }
        fig.AddRound(relayRate, rawRate);
        if (o.verbose)
            std::fprintf(table, "  %s, round %d: relay %.0f/s, raw %.0f/s, ratio %.3f\n",
                         name.c_str(), r + 1, relayRate, rawRate, fig.ratios.back());
    }
    report.Add(fig);
    return true;
}

bool round_trip(Report &report, Context &ctx, const Options &o, FILE *table) {
    if (!o.Wants("round trip"))
        return true;
    // Connections made under the method in use, then kept: a new one would
    // add its start-up to the first samples of every round.
    std::string error;
    if (!FreshLinks(ctx, &error))
        return fail("round trip: " + error);
    const size_t nRound = static_cast<size_t>(o.rttSamples);
    std::vector<double> relayAll, rawAll, pingAll, relayRound, rawRound, pingRound, ratios;
    for (std::vector<double> *v : {&relayAll, &rawAll, &pingAll})
        v->reserve(nRound * static_cast<size_t>(o.rounds));
    for (std::vector<double> *v : {&relayRound, &rawRound, &pingRound})
        v->reserve(std::max<size_t>(nRound, 100));
    // Warm every path up first.
    if (!check(RoundTripRelay(ctx, 100, &relayRound), "round trip") ||
        !check(RoundTripRaw(ctx, 100, &rawRound), "round trip") ||
        !check(PingPongRaw(ctx, 100, &pingRound), "round trip"))
        return false;
    for (int r = 0; r < o.rounds; ++r) {
        relayRound.clear();
        rawRound.clear();
        pingRound.clear();
        Outcome a, b;
        if (r % 2 == 0) {
            a = RoundTripRelay(ctx, o.rttSamples, &relayRound);
            b = RoundTripRaw(ctx, o.rttSamples, &rawRound);
        } else {
            b = RoundTripRaw(ctx, o.rttSamples, &rawRound);
            a = RoundTripRelay(ctx, o.rttSamples, &relayRound);
        }
        const Outcome c = PingPongRaw(ctx, o.rttSamples, &pingRound);
        if (!check(a, "round trip") || !check(b, "round trip") || !check(c, "round trip"))
            return false;
        report.CountAllocations("round trip", a.allocations, a.messages);
        ratios.push_back(Median(relayRound) / Median(rawRound));
        if (o.verbose)
            std::fprintf(table, "  round trip, round %d: relay %.2f us, raw %.2f us, ratio %.3f\n",
                         r + 1, Median(relayRound), Median(rawRound), ratios.back());
        relayAll.insert(relayAll.end(), relayRound.begin(), relayRound.end());
        rawAll.insert(rawAll.end(), rawRound.begin(), rawRound.end());
        pingAll.insert(pingAll.end(), pingRound.begin(), pingRound.end());
    }
    // Old: the ratio of the medians of all samples. Loaded: the median of
    // the rounds' ratios, each round's relay and raw samples taken back to
    // back under the same conditions.
    const double ratio =
        ctx.method == METHOD_OLD ? Median(relayAll) / Median(rawAll) : Median(ratios);
    report.AddRoundTrip(relayAll, rawAll, ratio, pingAll);
    return true;
}

// Runs every figure with the relay started; false on a failure.
bool measure_running(Context &ctx, const Options &o, Report &report, FILE *table) {
    const double s = o.seconds / 2; // each side runs twice per round
    const uint32_t sizes[] = {0, 64, 800};
    for (int threads : {1, 4}) {
        for (uint32_t size : sizes) {
            const std::string name = "host->server " + std::to_string(size) + " B, " +
                                     std::to_string(threads) +
                                     (threads == 1 ? " thread" : " threads");
            if (!throughput(
                    ctx, report, name, o, table, [&] { return SendRelay(ctx, threads, size, s); },
                    [&] { return SendRaw(ctx, threads, size, s); }))
                return false;
        }
    }
    for (uint32_t size : {64u, 4991u}) {
        const std::string name = "server->host " + std::to_string(size) + " B";
        if (!throughput(
                ctx, report, name, o, table, [&] { return FloodRelay(ctx, size, s); },
                [&] { return FloodRaw(ctx, size, s); }))
            return false;
    }

    return round_trip(report, ctx, o, table);
}

void print_method(FILE *table, Method method) {
    if (method == METHOD_OLD)
        std::fprintf(table, "method old: threads where the system puts them; the host spins "
                            "(yielding) for an answer; the raw reader does the relay's steps\n");
    else
        std::fprintf(table,
                     "method loaded: host and relay threads on CPU %d, servers on CPU %d; "
                     "the host spins %.0f us, then blocks for an answer; lean raw reader\n",
                     HOST_CPU, SERVER_CPU, HOST_SPIN_US);
}

bool integrity(Context &ctx, const Options &o, FILE *table) {
    const uint64_t nPackets = static_cast<uint64_t>(o.integrityMillions * 1e6);
    IntegrityResult result;
    const Outcome out = IntegrityFlood(ctx, nPackets, &result);
    std::fprintf(table,
                 "integrity (%s): %llu stamped packets sent, %llu delivered, %llu mismatched "
                 "(%.0f k/s)\n",
                 MethodName(ctx.method), static_cast<unsigned long long>(result.sent),
                 static_cast<unsigned long long>(result.seen),
                 static_cast<unsigned long long>(result.mismatches), out.perSecond / 1000);
    if (result.mismatches)
        std::fprintf(table, "integrity: the first mismatch was packet %llu\n",
                     static_cast<unsigned long long>(result.firstMismatch));
    if (!check(out, "integrity"))
        return false;
    return (result.mismatches == 0 && result.seen == result.sent) ||
           fail("integrity: mismatches or losses");
}

bool run(const Options &o, FILE *table) {
    Context ctx;
    bool bOk = set_up(ctx, o);
    for (size_t i = 0; bOk && !o.integrityOnly && i < o.methods.size(); ++i) {
        std::string error;
        if (!UseMethod(ctx, o.methods[i], &error)) {
            std::fprintf(table, "method %s skipped: %s\n", MethodName(o.methods[i]), error.c_str());
            continue;
        }
        Report report;
        bOk = measure_running(ctx, o, report, table);
        if (bOk) {
            print_method(table, ctx.method);
            report.Print(table);
            std::fprintf(table, "\n");
        }
    }
    if (bOk && (o.integrityOnly || o.Wants("integrity")))
        bOk = integrity(ctx, o, table);
    // Stopped whatever happened, so that no relay thread outlives main.
    if (ctx.module.load_exit)
        ctx.module.load_exit();
    if (!bOk)
        return false;
    std::string error;
    if (o.integrityOnly || !o.Wants("sh_load") || !UseMethod(ctx, METHOD_OLD, &error))
        return true;
    LifecycleTimes times;
    if (!check(MeasureLifecycle(ctx, o.cycles, o.quick ? 0.5 : 3.0, &times), "start and stop"))
        return false;
    Report report;
    report.AddLifecycle(times);
    report.Print(table);
    if (o.quick)
        std::fprintf(table, "(a quick run checks that everything works; its rounds are too short "
                            "for the ratios to mean much)\n");
    return true;
}

} // namespace
} // namespace bench

int main(int argc, char **argv) {
    bench::RememberCpus();
    bench::Options options;
    if (!bench::parse(argc, argv, &options))
        return 2;
    // The relay writes its log lines to standard output too: they go to a
    // file beside the benchmark, and the table to the terminal.
    FILE *table = bench::divert_stdout();
    if (!table)
        return 1;
    return bench::run(options, table) ? 0 : 1;
}
