// The runs: each client (the library as hosts load it, and the floor) started once per round, its
// repeated files primed, then each scenario and the mix measured with one event in flight and with
// 25; the counts of file-system calls; the hot-file run and the soak.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/bench/bench_files.h"
#include "tools/bench/bench_flight.h"
#include "tools/bench/bench_floor.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_options.h"

namespace bench {

// The events in flight of the two measured runs of every client.
inline constexpr std::uint32_t kInFlight[kRunKinds] = {1, kPoolThreads};

// What is measured: the four scenarios, then the mix.
inline constexpr std::uint32_t kMeasuredCount = kScenarioCount + 1;
inline constexpr std::uint32_t kMix = kScenarioCount;

enum class Client : std::uint32_t { kPipeline, kFloor };

// Each measured run of every round: [what][client][run kind], one entry per round. Each run of
// what is measured runs for both clients back to back, the one first in one round, the other in
// the next, so that both meet the machine as it is then.
struct Measured {
    std::vector<RunResult> runs[kMeasuredCount][2][kRunKinds];
};

// The files and the posters of their events, for both clients.
struct Workload {
    BenchFiles files;
    VolumeFacts volume;
    Poster repeated[kScenarioCount];
    Poster fresh[2][kRunKinds];
    Poster mix[2][kRunKinds];
    // Per what is measured, client and run kind: the files whose records a client must seal first
    // (the rescans' and the spared files', also in the mix), as a client that has run a while finds
    // them.
    Poster priming[kMeasuredCount][2][kRunKinds];
};

bool PrepareWorkload(const Options& options, Workload& workload);

// One round: for each scenario and the mix, and each of its runs (1 and 25 in flight), each client
// started, primed, measured and stopped. False when something failed.
bool RunRound(Workload& workload, const Options& options, std::uint32_t round, Measured& measured);

// File-system calls per event of each scenario and the mix, counted over `events` events at one in
// flight, for the library (its own code, linked in) and the floor: calls, and handles (each closed
// once, which is one call more).
struct CallCounts {
    double per_event[kMeasuredCount][2] = {};
};

bool CountCalls(Workload& workload, const Options& options, std::uint32_t events, CallCounts& counts);

// 25 posting threads keep 25 events in flight whose scans take a fixed time: all for one file (the
// hot file), or, for reference, each thread for a file of its own. Returns events per second, or a
// negative value when the run failed.
double RunHotFile(const BenchFiles& files, const Options& options, bool one_file);

struct SoakResult {
    MemoryReading first;
    MemoryReading last;
    double seconds = 0;
};

// The library on the mix at 25 in flight, memory read after the first events and at the end.
bool RunSoak(Workload& workload, const Options& options, SoakResult& soak);

}  // namespace bench
