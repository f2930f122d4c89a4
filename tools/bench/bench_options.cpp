#include "tools/bench/bench_options.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace bench {

void PrintUsage() {
    std::fputs(
        "usage: varnok_bench [--files N] [--per-folder N] [--rounds N] [--serial N] [--parallel N]\n"
        "                    [--count N] [--soak-first N] [--soak N] [--hot N] [--hot-scan-ms N] [--no-log]\n"
        "                    [--folder DIR]\n"
        "  --files N       files of each scenario that comes back (no origin, rescan, spared), cycled\n"
        "                  through; a multiple of 25 (default 100)\n"
        "  --per-folder N  files per folder (100)\n"
        "  --rounds N      rounds, each with both clients' runs of each scenario back to back (15)\n"
        "  --serial N      events per run with one event in flight; whole hundreds (300)\n"
        "  --parallel N    events per run with 25 in flight; whole hundreds (700)\n"
        "  --count N       events per scenario over which the file-system calls are counted (100)\n"
        "  --soak-first N  events before the first memory reading (1000)\n"
        "  --soak N        events before the second memory reading; 0 skips the soak (100000)\n"
        "  --hot N         events of the hot-file run, 25 in flight all for one file; 0 skips it (500)\n"
        "  --hot-scan-ms N how long each scan of the hot-file run takes (100)\n"
        "  --no-log        start the library without a LogCallback\n"
        "  --folder DIR    make the files in a folder of their own under DIR (the temporary folder)\n",
        stderr);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--no-log") {
            options.log = false;
            continue;
        }
        if (name == "--folder" && i + 1 < argc) {
            options.folder = argv[++i];
            continue;
        }
        std::uint32_t* target = nullptr;
        if (name == "--files") {
            target = &options.files;
        } else if (name == "--per-folder") {
            target = &options.files_per_folder;
        } else if (name == "--rounds") {
            target = &options.rounds;
        } else if (name == "--serial") {
            target = &options.serial_events;
        } else if (name == "--parallel") {
            target = &options.parallel_events;
        } else if (name == "--count") {
            target = &options.count_events;
        } else if (name == "--soak-first") {
            target = &options.soak_first;
        } else if (name == "--soak") {
            target = &options.soak_events;
        } else if (name == "--hot") {
            target = &options.hot_events;
        } else if (name == "--hot-scan-ms") {
            target = &options.hot_scan_ms;
        }
        if (target == nullptr || i + 1 >= argc) {
            return false;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(argv[++i], &end, 10);
        if (end == argv[i] || *end != '\0') {
            return false;
        }
        *target = static_cast<std::uint32_t>(value);
    }
    return options.files >= kPoolThreads && options.files % kPoolThreads == 0 && options.hot_scan_ms >= 1 &&
           options.files_per_folder >= 1 && options.rounds >= 1 && options.serial_events >= 100 &&
           options.serial_events % 100 == 0 && options.parallel_events >= 100 && options.parallel_events % 100 == 0 &&
           options.count_events >= 1 && options.count_events <= options.serial_events &&
           (options.soak_events == 0 || (options.soak_first >= 1 && options.soak_events > options.soak_first));
}

}  // namespace bench
