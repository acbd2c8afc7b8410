#include "report.h"

#include <algorithm>

namespace bench {

namespace {

const double MIN_THROUGHPUT_RATIO = 0.95;
const double MAX_RTT_RATIO = 1.10;
const double MAX_EXIT_MS = 200.0;

std::string direction_of(const std::string &figure) {
    if (figure.compare(0, 12, "host->server") == 0)
        return "host->server";
    if (figure.compare(0, 12, "server->host") == 0)
        return "server->host";
    return figure;
}

std::string rate_text(double perSecond) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f k/s", perSecond / 1000.0);
    return buf;
}

std::string fixed(double v, const char *unit) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f%s", v, unit);
    return buf;
}

void print_row(FILE *out, const Report::Row &row) {
    std::fprintf(out, "%-36s %14s %14s %9s  %-9s %s\n", row.name.c_str(), row.relay.c_str(),
                 row.raw.c_str(), row.ratio.c_str(), row.target.c_str(),
                 row.hasTarget ? (row.met ? "met" : "MISSED") : "");
}

double max_of(const std::vector<double> &v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

std::string median_and_max(const std::vector<double> &v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f / %.1f ms", Median(v), max_of(v));
    return buf;
}

} // namespace

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 50);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
    rank = std::min(std::max<size_t>(rank, 1), values.size());
    return values[rank - 1];
}

Figure Figure::Throughput(const std::string &name) {
    Figure fig;
    fig.name = name;
    return fig;
}

void Figure::AddRound(double relayRate, double rawRate) {
    relay.push_back(relayRate);
    raw.push_back(rawRate);
    ratios.push_back(rawRate > 0 ? relayRate / rawRate : 0);
}

void Report::CountAllocations(const std::string &figure, uint64_t nAllocations,
                              uint64_t nMessages) {
    Allocations &a = m_allocations[direction_of(figure)];
    a.allocations += nAllocations;
    a.messages += nMessages;
}

void Report::AddRoundTrip(const std::vector<double> &relayUs, const std::vector<double> &rawUs,
                          double medianRatio, const std::vector<double> &pingUs) {
    m_rttPing = pingUs;
    m_rttRelay = relayUs;
    m_rttRaw = rawUs;
    m_rttRatio = medianRatio;
}

void Report::AddThroughputRows(std::vector<Row> *rows) const {
    for (const Figure &fig : m_throughput) {
        const double ratio = Median(fig.ratios);
        rows->push_back({fig.name, rate_text(Median(fig.relay)), rate_text(Median(fig.raw)),
                         fixed(ratio, ""), ">= 0.95", true, ratio >= MIN_THROUGHPUT_RATIO});
    }
}

void Report::AddRoundTripRows(std::vector<Row> *rows) const {
    if (m_rttRelay.empty())
        return;
    const double relay = Median(m_rttRelay);
    rows->push_back({"round trip, median", fixed(relay, " us"), fixed(Median(m_rttRaw), " us"),
                     fixed(m_rttRatio, ""), "<= 1.10", true, m_rttRatio <= MAX_RTT_RATIO});
    const double p99Relay = Percentile(m_rttRelay, 99), p99Raw = Percentile(m_rttRaw, 99);
    rows->push_back({"round trip, 99th percentile", fixed(p99Relay, " us"), fixed(p99Raw, " us"),
                     fixed(p99Raw > 0 ? p99Relay / p99Raw : 0, ""), "", false, true});
    const double ping = Median(m_rttPing);
    rows->push_back({"round trip vs one-thread ping-pong", fixed(relay, " us"), fixed(ping, " us"),
                     fixed(ping > 0 ? relay / ping : 0, ""), "", false, true});
}

void Report::AddAllocationRows(std::vector<Row> *rows) const {
    for (const auto &entry : m_allocations) {
        const Allocations &a = entry.second;
        const double perMessage =
            a.messages ? static_cast<double>(a.allocations) / static_cast<double>(a.messages) : 0;
        char relay[48];
        std::snprintf(relay, sizeof relay, "%.4f (%llu)", perMessage,
                      static_cast<unsigned long long>(a.allocations));
        rows->push_back({"allocations per message, " + entry.first, relay, "", "", "0", true,
                         a.allocations == 0});
    }
}

void Report::AddLifecycleRows(std::vector<Row> *rows) const {
    const LifecycleTimes &t = m_lifecycle;
    if (t.startToConnected.empty())
        return;
    rows->push_back({"start to connected (median / max)", median_and_max(t.startToConnected), "",
                     "", "", false, true});
    rows->push_back({"sh_load_exit connected (median / max)", median_and_max(t.exitConnected), "",
                     "", "< 200 ms", true, max_of(t.exitConnected) < MAX_EXIT_MS});
    rows->push_back({"sh_load_exit disconnected (median / max)", median_and_max(t.exitDisconnected),
                     "", "", "< 200 ms", true, max_of(t.exitDisconnected) < MAX_EXIT_MS});
    char idle[64];
    std::snprintf(idle, sizeof idle, "%.1f us/s, %zu threads", t.idleCpuUsPerS, t.idleRelayThreads);
    rows->push_back({"idle CPU of a connected relay", idle, "", "", "", false, true});
}

int Report::Print(FILE *out) const {
    std::vector<Row> rows;
    AddThroughputRows(&rows);
    AddRoundTripRows(&rows);
    AddAllocationRows(&rows);
    AddLifecycleRows(&rows);

    print_row(out, {"figure", "relay", "raw", "relay/raw", "target", false, true});
    int nTargets = 0, nMissed = 0;
    std::string missed;
    for (const Row &row : rows) {
        print_row(out, row);
        if (!row.hasTarget)
            continue;
        ++nTargets;
        if (!row.met) {
            ++nMissed;
            missed += (missed.empty() ? "" : "; ") + row.name;
        }
    }
    if (nMissed == 0)
        std::fprintf(out, "summary: all %d targets met\n", nTargets);
    else
        std::fprintf(out, "summary: %d of %d targets met; missed: %s\n", nTargets - nMissed,
                     nTargets, missed.c_str());
    return nMissed;
}

} // namespace bench
