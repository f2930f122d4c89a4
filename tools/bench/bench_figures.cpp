#include "tools/bench/bench_figures.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>

namespace bench {
namespace {

double Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

Figures Summarize(const std::vector<RunResult>& runs) {
    Figures figures;
    std::vector<double> latencies;
    for (const RunResult& run : runs) {
        figures.events_per_second = std::max(figures.events_per_second, run.events / run.seconds);
        latencies.insert(latencies.end(), run.latencies_ms.begin(), run.latencies_ms.end());
        figures.mean_in_flight += run.mean_in_flight / static_cast<double>(runs.size());
        if (figures.cpu_us_per_event == 0 || run.cpu_us_per_event < figures.cpu_us_per_event) {
            figures.cpu_us_per_event = run.cpu_us_per_event;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    figures.has_latency = !latencies.empty();
    figures.median_ms = Percentile(latencies, 0.5);
    figures.p99_ms = Percentile(latencies, 0.99);
    return figures;
}

void PrintFigures(const char* what, std::uint32_t in_flight, const Figures& figures) {
    if (figures.has_latency) {
        std::printf("  %-32s %9u %8.1f %10.0f %10.3f %9.3f %9.0f\n", what, in_flight, figures.mean_in_flight,
                    figures.events_per_second, figures.median_ms, figures.p99_ms, figures.cpu_us_per_event);
    } else {
        std::printf("  %-32s %9u %8s %10.0f %10s %9s %9.0f\n", what, in_flight, "-", figures.events_per_second, "-",
                    "-", figures.cpu_us_per_event);
    }
}

}  // namespace bench
