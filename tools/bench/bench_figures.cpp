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

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

Figures Summarize(const std::vector<RunResult>& runs) {
    Figures figures;
    std::vector<double> latencies;
    std::vector<double> throughputs;
    for (const RunResult& run : runs) {
        throughputs.push_back(run.events / run.seconds);
        latencies.insert(latencies.end(), run.latencies_ms.begin(), run.latencies_ms.end());
        figures.mean_in_flight += run.mean_in_flight / static_cast<double>(runs.size());
        if (figures.cpu_us_per_event == 0 || run.cpu_us_per_event < figures.cpu_us_per_event) {
            figures.cpu_us_per_event = run.cpu_us_per_event;
        }
    }
    figures.events_per_second = Median(throughputs);
    std::sort(latencies.begin(), latencies.end());
    figures.has_latency = !latencies.empty();
    figures.median_ms = Percentile(latencies, 0.5);
    figures.p99_ms = Percentile(latencies, 0.99);
    return figures;
}

Ratio RatioOf(const std::vector<RunResult>& pipeline, const std::vector<RunResult>& floor) {
    std::vector<double> ratios;
    for (std::size_t round = 0; round < pipeline.size() && round < floor.size(); ++round) {
        ratios.push_back((pipeline[round].events / pipeline[round].seconds) /
                         (floor[round].events / floor[round].seconds));
    }
    Ratio ratio;
    if (!ratios.empty()) {
        ratio.median = Median(ratios);
        ratio.lowest = *std::min_element(ratios.begin(), ratios.end());
        ratio.highest = *std::max_element(ratios.begin(), ratios.end());
    }
    return ratio;
}

}  // namespace bench
