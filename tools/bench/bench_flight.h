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
// its verdict time as the simulated driver receives the verdict command, on the worker that sends
// it (SimObserveCommands), for the library and the floor alike, whether the file was scanned or not.
// That costs the workers a clock read and a store, and polls nothing.
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
inline constexpr std::uint32_t kNoLane = 0xFF;            // the low byte of an event id that names no lane

// One posting lane: the event it has in flight. Its poster and the worker that answers meet here.
// An event's id names its lane in its low byte.
struct alignas(64) Lane {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE answered = CONDITION_VARIABLE_INIT;
    std::int64_t event = -1;     // the event in flight, -1 when none; guarded by lock
    std::uint64_t event_id = 0;  // its id; guarded by lock
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

// Called by the simulated driver for each command it receives: a verdict answers its lane's event.
// Everything is recorded before the lane learns of the verdict, so a finished run reads it whole.
void OnCommand(const void* command, std::uint32_t length, void* context);

// The hot-file run: every event names the same file; each verdict lets one more event go.
struct HotFile {
    std::atomic<bool> active{false};
    DWORD scan_ms = 0;
    HANDLE answered = nullptr;  // a semaphore, released once per verdict
    std::atomic<std::int64_t> last_answer{0};
};

extern HotFile g_hot;

// The host's callbacks: a scanner that answers at once, clean for the files to be spared and 1 for
// the others (in the hot-file run after a fixed time), a result sink and a log sink.
std::int32_t ScanAtOnce(FileInfo file_info, std::uint32_t value2, std::uint32_t value1);
void TakeResult(const wchar_t* path, std::int32_t verdict);
void TakeLogLine(std::uint32_t level, const wchar_t* text);

// The notification bodies of a set's files, one per file in the set's order: lane l posts the files
// l, l + lanes, l + 2 * lanes... so that no two events in flight name the same file.
struct Poster {
    std::vector<std::vector<std::byte>> bodies;
};

Poster PosterOf(const FileSet& set);

struct RunResult {
    bool ok = false;
    std::uint32_t events = 0;
    double seconds = 0;
    std::vector<double> latencies_ms;  // recorded runs only
    double mean_in_flight = 0;         // the latencies' sum over the run's time: the events truly in flight
    double cpu_us_per_event = 0;       // the process's CPU time over the run, per event
};

// Posts `events` file events from `lane_count` lanes (no more than the poster has files), so that as
// many are in flight, and waits for every verdict.
RunResult Drive(Poster& poster, std::uint32_t events, std::uint32_t lane_count, bool record);

}  // namespace bench
