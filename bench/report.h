// The benchmark's figures, their targets, and the printed table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "runs.h"

namespace bench {

double Median(std::vector<double> values);
// Nearest-rank percentile, p in (0, 100].
double Percentile(std::vector<double> values, double p);

// A throughput figure: per round, the relay's and the raw rate.
struct Figure {
    std::string name;
    std::vector<double> relay, raw, ratios;

    static Figure Throughput(const std::string &name);
    void AddRound(double relayRate, double rawRate);
};

class Report {
public:
    // One printed line: a figure, its values, and its target when it has one.
    struct Row {
        std::string name, relay, raw, ratio, target;
        bool hasTarget;
        bool met;
    };

    void Add(const Figure &fig) { m_throughput.push_back(fig); }
    // Allocations seen while the relay carried messages, grouped by direction.
    void CountAllocations(const std::string &figure, uint64_t nAllocations, uint64_t nMessages);
    // Round trips through the relay and through a raw socket read by a
    // reader thread, and the one-thread raw ping-pong for reference.
    void AddRoundTrip(const std::vector<double> &relayUs, const std::vector<double> &rawUs,
                      double medianRatio, const std::vector<double> &pingUs);
    void AddLifecycle(const LifecycleTimes &times) { m_lifecycle = times; }
    // Prints the table and the one-line summary; returns the targets missed.
    int Print(FILE *out) const;

private:
    void AddThroughputRows(std::vector<Row> *rows) const;
    void AddRoundTripRows(std::vector<Row> *rows) const;
    void AddAllocationRows(std::vector<Row> *rows) const;
    void AddLifecycleRows(std::vector<Row> *rows) const;

    struct Allocations {
        uint64_t allocations = 0;
        uint64_t messages = 0;
    };
    std::vector<Figure> m_throughput;
    std::map<std::string, Allocations> m_allocations;
    std::vector<double> m_rttRelay, m_rttRaw, m_rttPing;
    double m_rttRatio = 0;
    LifecycleTimes m_lifecycle;
};

} // namespace bench
