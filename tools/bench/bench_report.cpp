// The whole benchmark in order, and everything it prints: the rounds of the pipeline against the
// floor, their table, the hot-file run, the soak's memory readings and the line that sums it up.
#include "tools/bench/bench_report.h"

#include <cstdio>

#include "driver_sim.h"
#include "tools/bench/bench_figures.h"
#include "tools/bench/bench_runs.h"

namespace bench {

int RunBench(const Options& options) {
    BenchFiles files;
    std::printf(
        "varnok pipeline benchmark: %u files, %u per folder, %u rounds; per run %u events at 1 in flight, %u at 25; "
        "LogCallback %s\n",
        options.files, options.files_per_folder, options.rounds, options.serial_events, options.parallel_events,
        options.log ? "set" : "null");
    std::fflush(stdout);
    if (!CreateBenchFiles(options.folder, options.files, options.files_per_folder, files)) {
        std::fputs("could not create the files\n", stderr);
        return 1;
    }
    if (SimCreatePort() != S_OK) {
        std::fputs("could not create the simulated port\n", stderr);
        return 1;
    }
    Poster poster;
    PrepareBodies(files, poster);

    Measured measured;
    for (std::uint32_t round = 0; round < options.rounds; ++round) {
        if (!RunPipeline(poster, options, measured) || !RunFloor(poster, options, true, measured.floor) ||
            !RunFloor(poster, options, false, measured.port_only)) {
            std::fprintf(stderr, "round %u failed\n", round + 1);
            return 1;
        }
        for (int k = 0; k < 2; ++k) {
            measured.file_only[k].push_back(
                DriveFileWorkOnly(files, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k]));
        }
        std::printf("  round %u of %u done\n", round + 1, options.rounds);
        std::fflush(stdout);
    }
    if (g_flight.stray_verdicts.load() != 0 || !FilesUnchanged(files)) {
        std::fputs("a verdict came for no event in flight, or a file's \"varnok\" stream changed\n", stderr);
        return 1;
    }

    std::printf("\n  %-32s %9s %8s %10s %10s %9s %9s\n", "", "in flight", "(mean)", "events/s", "median ms", "p99 ms",
                "CPU us/ev");
    Figures pipeline[2];
    Figures floor[2];
    for (int k = 0; k < 2; ++k) {
        pipeline[k] = Summarize(measured.pipeline[k]);
        floor[k] = Summarize(measured.floor[k]);
        PrintFigures("pipeline (varnokclient.dll)", kInFlight[k], pipeline[k]);
        PrintFigures("floor (minimal client)", kInFlight[k], floor[k]);
        PrintFigures("  of it: port messages only", kInFlight[k], Summarize(measured.port_only[k]));
        PrintFigures("  of it: file-system work only", kInFlight[k], Summarize(measured.file_only[k]));
        std::printf("  %-32s %9u %8s %10.2f\n", "pipeline/floor", kInFlight[k], "",
                    pipeline[k].events_per_second / floor[k].events_per_second);
    }
    std::fflush(stdout);

    if (options.hot_events > 0) {
        const double hot = RunHotFile(files, options, true);
        const double spread = hot < 0 ? hot : RunHotFile(files, options, false);
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
        std::printf("\n  memory of the pipeline at 25 in flight (%u events, then %u):\n", options.soak_first,
                    options.soak_events);
        std::fflush(stdout);
        if (!RunSoak(poster, options, soak)) {
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

    std::printf("\npipeline/floor %.2f at 25 in flight (%.2f at 1), p99 %.2f ms",
                pipeline[1].events_per_second / floor[1].events_per_second,
                pipeline[0].events_per_second / floor[0].events_per_second, pipeline[1].p99_ms);
    if (soaked) {
        std::printf(", private bytes %+.2f MiB, heaps %+.2f MiB, handles %+lld from %uk to %uk events", private_growth,
                    SignedMiB(soak.last.heap_in_use, soak.first.heap_in_use), handle_growth, options.soak_first / 1000,
                    options.soak_events / 1000);
    }
    std::printf("\n");
    return 0;
}

}  // namespace bench
