// The whole benchmark in order, and everything it prints: the rounds of the library against its
// floor for each scenario and the mix, their table with the file-system calls per event, the
// hot-file run, the soak's memory readings and the line that sums it up.
#include "tools/bench/bench_report.h"

#include <cstdio>

#include "driver_sim.h"
#include "tools/bench/bench_figures.h"
#include "tools/bench/bench_runs.h"

namespace bench {
namespace {

const char* NameOf(std::uint32_t what) { return what == kMix ? "mix 90/5/3/2" : kScenarioNames[what]; }

void PrintTable(const Measured& measured, const CallCounts& counts) {
    std::printf("\n  %-18s %6s %9s %9s %20s %17s %17s %13s %13s\n", "", "in", "events/s", "events/s", "pipeline/floor",
                "pipeline ms", "floor ms", "CPU us/event", "calls/event");
    std::printf("  %-18s %6s %9s %9s %20s %8s %8s %8s %8s %6s %6s %6s %6s\n", "scenario", "flight", "pipeline", "floor",
                "median [low, high]", "median", "p99", "median", "p99", "pipe", "floor", "lib", "floor");
    for (std::uint32_t what = 0; what < kMeasuredCount; ++what) {
        for (std::uint32_t run = 0; run < kRunKinds; ++run) {
            const Figures pipeline = Summarize(measured.runs[what][0][run]);
            const Figures floor = Summarize(measured.runs[what][1][run]);
            const Ratio ratio = RatioOf(measured.runs[what][0][run], measured.runs[what][1][run]);
            const bool first = run == 0;
            std::printf("  %-18s %6u %9.0f %9.0f %6.2f [%5.2f, %5.2f] %8.3f %8.3f %8.3f %8.3f %6.0f %6.0f",
                        first ? NameOf(what) : "", kInFlight[run], pipeline.events_per_second, floor.events_per_second,
                        ratio.median, ratio.lowest, ratio.highest, pipeline.median_ms, pipeline.p99_ms, floor.median_ms,
                        floor.p99_ms, pipeline.cpu_us_per_event, floor.cpu_us_per_event);
            if (first) {
                std::printf(" %6.1f %6.1f", counts.per_event[what][0], counts.per_event[what][1]);
            }
            std::printf("\n");
        }
    }
    std::fflush(stdout);
}

}  // namespace

int RunBench(const Options& options) {
    std::printf(
        "varnok pipeline benchmark: %u rounds; per run %u events at 1 in flight, %u at 25; %u files of each repeated "
        "scenario, %u per folder; LogCallback %s\n",
        options.rounds, options.serial_events, options.parallel_events, options.files, options.files_per_folder,
        options.log ? "set" : "null");
    std::fflush(stdout);
    Workload workload;
    if (!PrepareWorkload(options, workload)) {
        std::fputs("could not create the files\n", stderr);
        return 1;
    }
    const char* const volume_name = workload.volume.streams_are_the_files ? "NTFS" : "ext4";
    std::printf("  the files: %s (%s; %s)\n", volume_name,
                workload.volume.streams_are_the_files ? "a stream is its file's" : "a stream is a file of its own",
                workload.volume.one_set_of_share_modes ? "one set of share modes for a file and its streams"
                                                       : "share modes per stream");
    if (SimCreatePort() != S_OK) {
        std::fputs("could not create the simulated port\n", stderr);
        return 1;
    }
    SimObserveCommands(OnCommand, nullptr);

    Measured measured;
    for (std::uint32_t round = 0; round < options.rounds; ++round) {
        if (!RunRound(workload, options, round, measured)) {
            std::fprintf(stderr, "round %u failed\n", round + 1);
            return 1;
        }
        std::printf("  round %u of %u done\n", round + 1, options.rounds);
        std::fflush(stdout);
    }
    CallCounts counts;
    if (!CountCalls(workload, options, options.count_events, counts)) {
        std::fputs("counting the file-system calls failed\n", stderr);
        return 1;
    }
    if (g_flight.stray_verdicts.load() != 0) {
        std::fputs("a verdict came for no event in flight\n", stderr);
        return 1;
    }
    PrintTable(measured, counts);

    if (options.hot_events > 0) {
        const double hot = RunHotFile(workload.files, options, true);
        const double spread = hot < 0 ? hot : RunHotFile(workload.files, options, false);
        if (spread < 0) {
            std::fputs("the hot-file run failed\n", stderr);
            return 1;
        }
        const double ideal = kPoolThreads * 1000.0 / options.hot_scan_ms;
        std::printf("\n  hot file: %u events, 25 in flight, scans of %u ms; ideal (25 scans at once) %.1f events/s\n",
                    options.hot_events, options.hot_scan_ms, ideal);
        std::printf("    all for one file:       %7.1f events/s, %.2f of the ideal\n", hot, hot / ideal);
        std::printf("    each for its own file:  %7.1f events/s, %.2f of the ideal\n", spread, spread / ideal);
        std::printf("    one file/own files:     %7.2f\n", hot / spread);
        std::fflush(stdout);
    }

    SoakResult soak;
    const bool soaked = options.soak_events > 0;
    if (soaked) {
        std::printf("\n  memory of the pipeline on the mix at 25 in flight (%u events, then %u):\n", options.soak_first,
                    options.soak_events);
        std::fflush(stdout);
        if (!RunSoak(workload, options, soak)) {
            std::fputs("the soak failed\n", stderr);
            return 1;
        }
        const auto print_reading = [](const char* when, const MemoryReading& reading) {
            std::printf(
                "    %-22s PrivateUsage %8.2f MiB, committed private %8.2f MiB, heaps in use %8.2f MiB, "
                "handle count %lu, handle slot %llu\n",
                when, MiB(reading.private_usage), MiB(reading.committed_private), MiB(reading.heap_in_use),
                static_cast<unsigned long>(reading.handle_count), static_cast<unsigned long long>(reading.handle_slot));
        };
        print_reading("after the first:", soak.first);
        print_reading("after all:", soak.last);
    }
    SimObserveCommands(nullptr, nullptr);
    SimClosePort();

    // Private bytes: PrivateUsage where the system reports it (Wine reports 0), else the committed
    // private pages. Handles: the handle count where reported (Wine reports 0), else the slot probe.
    const bool has_private_usage = soak.first.private_usage != 0 && soak.last.private_usage != 0;
    const double private_growth = has_private_usage
                                      ? SignedMiB(soak.last.private_usage, soak.first.private_usage)
                                      : SignedMiB(soak.last.committed_private, soak.first.committed_private);
    const bool has_handle_count = soak.first.handle_count != 0 && soak.last.handle_count != 0;
    const long long handle_growth =
        has_handle_count
            ? static_cast<long long>(soak.last.handle_count) - static_cast<long long>(soak.first.handle_count)
            : static_cast<long long>(soak.last.handle_slot) - static_cast<long long>(soak.first.handle_slot);
    if (soaked) {
        std::printf(
            "    growth: private bytes %+.2f MiB (%s), heaps in use %+.2f MiB, handles %+lld (%s); "
            "%.0f events/s\n",
            private_growth, has_private_usage ? "PrivateUsage" : "committed private pages",
            SignedMiB(soak.last.heap_in_use, soak.first.heap_in_use), handle_growth,
            has_handle_count ? "handle count" : "slot of a fresh handle",
            (options.soak_events - options.soak_first) / soak.seconds);
    }

    const Ratio mix_serial = RatioOf(measured.runs[kMix][0][0], measured.runs[kMix][1][0]);
    const Ratio mix_parallel = RatioOf(measured.runs[kMix][0][1], measured.runs[kMix][1][1]);
    std::printf("\npipeline/floor of the mix %.2f at 25 in flight (%.2f at 1) on %s, p99 %.2f ms", mix_parallel.median,
                mix_serial.median, volume_name, Summarize(measured.runs[kMix][0][1]).p99_ms);
    if (soaked) {
        std::printf(", private bytes %+.2f MiB, heaps %+.2f MiB, handles %+lld from %uk to %uk events", private_growth,
                    SignedMiB(soak.last.heap_in_use, soak.first.heap_in_use), handle_growth, options.soak_first / 1000,
                    options.soak_events / 1000);
    }
    std::printf("\n");
    return 0;
}

}  // namespace bench
