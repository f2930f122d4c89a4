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

// The median throughput of the rounds; the latencies of all rounds together; the least CPU time.
Figures Summarize(const std::vector<RunResult>& runs);

// Pipeline/floor of each round, and their median and extremes.
struct Ratio {
    double median = 0;
    double lowest = 0;
    double highest = 0;
};
Ratio RatioOf(const std::vector<RunResult>& pipeline, const std::vector<RunResult>& floor);

}  // namespace bench
