// The figures of a set of runs, and how one line of the benchmark's table prints them.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bench/bench_flight.h"

namespace bench {

struct Figures {
    double events_per_second = 0;
    double median_ms = 0;
    double p99_ms = 0;
    double mean_in_flight = 0;
    double cpu_us_per_event = 0;  // the least of the rounds
    bool has_latency = false;
};

// The best throughput of the rounds; the latencies of all rounds together.
Figures Summarize(const std::vector<RunResult>& runs);

void PrintFigures(const char* what, std::uint32_t in_flight, const Figures& figures);

}  // namespace bench
