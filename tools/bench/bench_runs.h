// The runs: the pipeline (the real library), the floor client with and without the file work, the
// file work alone, the hot-file run and the soak. Each starts what it measures and stops it again.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bench/bench_files.h"
#include "tools/bench/bench_flight.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_options.h"

namespace bench {

// The events in flight of the two measured runs of every client.
inline constexpr std::uint32_t kInFlight[2] = {1, kPoolThreads};

struct Measured {
    std::vector<RunResult> pipeline[2];  // [0]: one event in flight, [1]: 25
    std::vector<RunResult> floor[2];
    std::vector<RunResult> port_only[2];
    std::vector<RunResult> file_only[2];
};

// One round of each: the library, then the floor client with the file work (into measured.floor)
// and without it (into measured.port_only). False when one failed.
bool RunPipeline(Poster& poster, const Options& options, Measured& measured);
bool RunFloor(Poster& poster, const Options& options, bool file_work, std::vector<RunResult>* results);

// The file work alone, in a tight loop: `thread_count` threads take the next event until all are done.
RunResult DriveFileWorkOnly(const BenchFiles& files, std::uint32_t events, std::uint32_t thread_count);

// 25 posting threads keep 25 events in flight whose scans take a fixed time: all for one file (the
// hot file), or, for reference, each thread for a file of its own. Returns events per second, or a
// negative value when the run failed.
double RunHotFile(const BenchFiles& files, const Options& options, bool one_file);

struct SoakResult {
    MemoryReading first;
    MemoryReading last;
    double seconds = 0;
};

bool RunSoak(Poster& poster, const Options& options, SoakResult& soak);

}  // namespace bench
