// The benchmark's command line: how many files, events and rounds, and where the files go.
#pragma once

#include <cstdint>
#include <filesystem>

#include "running_client.h"

namespace bench {

// The library's workers, and so the most events in flight. The usage and the report name the
// number in their texts, which stay as they are: a change of it must change them too.
inline constexpr std::uint32_t kPoolThreads = varnok::kScanThreadCount;
static_assert(kPoolThreads == 25, "the benchmark's texts say 25 in flight");

struct Options {
    std::uint32_t files = 100;  // of each scenario whose files come back again and again
    // Wine looks a name that is not there up by reading the whole folder, so in a folder of thousands
    // of files every absent SmartScreen stream costs more than the rest of the event, for the
    // pipeline and the floor alike. Larger folders show what each such lookup costs.
    std::uint32_t files_per_folder = 100;
    std::uint32_t rounds = 15;
    std::uint32_t serial_events = 300;    // per run with one event in flight; whole hundreds, for the mix
    std::uint32_t parallel_events = 700;  // per run with 25 in flight; whole hundreds
    std::uint32_t count_events = 100;     // per scenario, to count the file-system calls
    std::uint32_t soak_first = 1000;
    std::uint32_t soak_events = 100000;
    std::uint32_t hot_events = 500;   // the hot-file run: events, all for one file; 0 skips it
    std::uint32_t hot_scan_ms = 100;  // how long each of its scans takes
    bool log = true;
    std::filesystem::path folder;  // where the files go; empty: the temporary folder
};

void PrintUsage();

// False on an unknown option, a value that is no number, or values that cannot make a run.
bool ParseOptions(int argc, char** argv, Options& options);

}  // namespace bench
