// Events in flight: the posting lanes that play the driver's threads, what each verdict records,
// and the host callbacks the library is started with.
//
// One posting thread per event in flight, as one driver thread per file operation waiting for its
// verdict: it posts an event for one of its own files, waits for that event's verdict and posts the
// next. (A single poster could not keep 25 in flight under Wine: its posts queue at the wineserver
// behind the requests of 25 workers.) Lane l owns the files whose index is l modulo the lane count,
// so no two events in flight name the same file.
//
// Timestamps: an event's post time is taken on the posting thread just before SimPostNotification;
// its verdict time in the host's ScanResultCallback, which the library calls on its worker right
// after the verdict command reached the driver (the floor client calls the same function at the
// same point). That costs the workers a clock read and a store, and polls nothing.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/bench/bench_files.h"
#include "tools/bench/bench_options.h"
#include "varnokclient.h"

namespace bench {

inline constexpr DWORD kWaitMs = 30000;                   // a stalled run is reported, not waited for forever
inline constexpr std::uint32_t kTrafficResetEvery = 500;  // keeps the simulator's records of commands small

// One posting lane: the event it has in flight. Its poster and the worker that answers meet here.
struct alignas(64) Lane {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE answered = CONDITION_VARIABLE_INIT;
    std::int64_t event = -1;  // the event in flight, -1 when none; guarded by lock
    std::uint32_t file = 0;   // its file; guarded by lock
};

// What the lanes and the answering workers share during a run; the main thread reads it between runs.
struct Flight {
    Lane lanes[kPoolThreads];
    std::atomic<std::uint32_t> lane_count{1};
    std::vector<std::int64_t> posted;  // per event of a recorded run
    std::vector<std::int64_t> answered;
    std::atomic<std::int64_t> last_answer{0};
    std::atomic<std::uint64_t> scans{0};
    std::atomic<std::uint64_t> log_lines{0};
    std::atomic<std::uint64_t> stray_verdicts{0};
};

extern Flight g_flight;

// Called once per event at its verdict, by the library's ScanResultCallback or by the floor client.
// Everything is recorded before the lane learns of the verdict, so a finished run reads it whole.
void OnVerdict(const wchar_t* path);

// The hot-file run: every event names the same file; each verdict lets one more event go.
struct HotFile {
    std::atomic<bool> active{false};
    DWORD scan_ms = 0;
    HANDLE answered = nullptr;  // a semaphore, released once per verdict
    std::atomic<std::int64_t> last_answer{0};
};

extern HotFile g_hot;

// The host's callbacks: a scanner that finds the file infected at once (or, in the hot-file run,
// after a fixed time), a result sink and a log sink.
std::int32_t ScanAtOnce(FileInfo file_info, std::uint32_t value2, std::uint32_t value1);
void TakeResult(const wchar_t* path, std::int32_t verdict);
void TakeLogLine(std::uint32_t level, const wchar_t* text);

// The notification bodies of the files, one per file in the files' order.
struct Poster {
    std::vector<std::vector<std::byte>> bodies;
    std::atomic<std::uint64_t> next_event_id{1};
};

void PrepareBodies(const BenchFiles& files, Poster& poster);

struct RunResult {
    bool ok = false;
    std::uint32_t events = 0;
    double seconds = 0;
    std::vector<double> latencies_ms;  // recorded runs only
    double mean_in_flight = 0;         // the latencies' sum over the run's time: the events truly in flight
    double cpu_us_per_event = 0;       // the process's CPU time over the run, per event
};

// Posts `events` file events from `lane_count` lanes, so that as many are in flight, and waits for
// every verdict.
RunResult Drive(Poster& poster, std::uint32_t events, std::uint32_t lane_count, bool record);

}  // namespace bench
