#include "tools/bench/bench_runs.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <utility>

#include "driver_sim.h"
#include "file_call_seam.h"
#include "lifecycle.h"
#include "tools/bench/bench_clock.h"
#include "unique_handle.h"
#include "varnokclient.h"
#include "wire.h"

namespace bench {
namespace {

using varnok::UniqueHandle;

// What both clients send the driver when they start.
DriverConfig BenchConfig() {
    DriverConfig config{};
    std::wmemcpy(config.ConfigText, L"bench", 5);
    return config;
}

bool WaitForConfiguration() { return SimWaitForTraffic(0, 1, kWaitMs) != FALSE; }

// The library as hosts load it, or its own code linked in (for counting its calls).
bool StartLibrary(const Options& options, bool linked_in) {
    SimResetTraffic();
    const DriverConfig config = BenchConfig();
    const LogCallback log = options.log ? TakeLogLine : nullptr;
    const HRESULT hr = linked_in ? varnok::FilterInit(&config, ScanAtOnce, TakeResult, log)
                                 : ::FilterInit(&config, ScanAtOnce, TakeResult, log);
    if (hr != S_OK) {
        std::fputs("FilterInit failed\n", stderr);
        return false;
    }
    return WaitForConfiguration();
}

bool StartClient(Workload& workload, const Options& options, Client client) {
    if (client == Client::kPipeline) {
        return StartLibrary(options, false);
    }
    SimResetTraffic();
    return StartFloorClient(BenchConfig(), workload.volume) && WaitForConfiguration();
}

bool StopClient(Client client, bool linked_in = false) {
    return client == Client::kPipeline && !linked_in ? ::ClientDisconnect() == S_OK
                                                     : varnok::ClientDisconnect() == S_OK;
}

// The poster of a measured run of a client.
Poster& PosterFor(Workload& workload, std::uint32_t what, Client client, std::uint32_t run) {
    if (what == kMix) {
        return workload.mix[static_cast<std::uint32_t>(client)][run];
    }
    if (what == static_cast<std::uint32_t>(Scenario::kFreshDownload)) {
        return workload.fresh[static_cast<std::uint32_t>(client)][run];
    }
    return workload.repeated[what];
}

// Each file of the priming poster once: its record sealed with the client's key.
bool Prime(Workload& workload, std::uint32_t what, Client client, std::uint32_t run) {
    Poster& priming = workload.priming[what][static_cast<std::uint32_t>(client)][run];
    const auto files = static_cast<std::uint32_t>(priming.bodies.size());
    return Drive(priming, files, std::min(files, kPoolThreads), false).ok;
}

void DropFreshRecords(Workload& workload, Client client) {
    for (std::uint32_t run = 0; run < kRunKinds; ++run) {
        DropRecords(workload.files.fresh[static_cast<std::uint32_t>(client)][run]);
        DropRecords(workload.files.mix[static_cast<std::uint32_t>(client)][run]);
    }
}

// One client's turn at one run of what is measured: started, primed, measured, stopped.
bool RunTurn(Workload& workload, const Options& options, std::uint32_t what, std::uint32_t run, Client client,
             Measured& measured) {
    if (!StartClient(workload, options, client)) {
        return false;
    }
    bool ok = Prime(workload, what, client, run);
    if (ok) {
        const std::uint32_t events = run == 0 ? options.serial_events : options.parallel_events;
        RunResult result = Drive(PosterFor(workload, what, client, run), events, kInFlight[run], true);
        ok = result.ok;
        measured.runs[what][static_cast<std::uint32_t>(client)][run].push_back(std::move(result));
    }
    // Taken away now, long before this client's next turn needs them fresh.
    DropFreshRecords(workload, client);
    return StopClient(client) && ok;
}

}  // namespace

bool PrepareWorkload(const Options& options, Workload& workload) {
    FileCounts counts;
    counts.repeated = options.files;
    counts.per_run[0] = options.serial_events;
    counts.per_run[1] = options.parallel_events;
    counts.per_folder = options.files_per_folder;
    if (!CreateBenchFiles(options.folder, counts, workload.files)) {
        return false;
    }
    workload.volume = ProbeVolume(workload.files.folder);
    for (std::uint32_t kind = 0; kind < kScenarioCount; ++kind) {
        workload.repeated[kind] = PosterOf(workload.files.repeated[kind]);
    }
    // The files of a set whose records a client seals first.
    const auto sealed_first = [](const FileSet& set, FileSet& priming) {
        for (std::size_t i = 0; i < set.paths.size(); ++i) {
            if (set.scenarios[i] == Scenario::kRescan || set.scenarios[i] == Scenario::kSpared) {
                priming.paths.push_back(set.paths[i]);
                priming.scenarios.push_back(set.scenarios[i]);
            }
        }
    };
    for (std::uint32_t client = 0; client < 2; ++client) {
        for (std::uint32_t run = 0; run < kRunKinds; ++run) {
            workload.fresh[client][run] = PosterOf(workload.files.fresh[client][run]);
            workload.mix[client][run] = PosterOf(workload.files.mix[client][run]);
            FileSet priming[kMeasuredCount];
            sealed_first(workload.files.repeated[static_cast<std::uint32_t>(Scenario::kRescan)],
                         priming[static_cast<std::uint32_t>(Scenario::kRescan)]);
            sealed_first(workload.files.repeated[static_cast<std::uint32_t>(Scenario::kSpared)],
                         priming[static_cast<std::uint32_t>(Scenario::kSpared)]);
            sealed_first(workload.files.mix[client][run], priming[kMix]);
            for (std::uint32_t what = 0; what < kMeasuredCount; ++what) {
                workload.priming[what][client][run] = PosterOf(priming[what]);
            }
        }
    }
    return true;
}

bool RunRound(Workload& workload, const Options& options, std::uint32_t round, Measured& measured) {
    for (std::uint32_t what = 0; what < kMeasuredCount; ++what) {
        for (std::uint32_t run = 0; run < kRunKinds; ++run) {
            const bool pipeline_first = (round + what + run) % 2 == 0;
            const Client first = pipeline_first ? Client::kPipeline : Client::kFloor;
            const Client second = pipeline_first ? Client::kFloor : Client::kPipeline;
            if (!RunTurn(workload, options, what, run, first, measured) ||
                !RunTurn(workload, options, what, run, second, measured)) {
                return false;
            }
        }
    }
    return true;
}

bool CountCalls(Workload& workload, const Options& options, std::uint32_t events, CallCounts& counts) {
    for (const Client client : {Client::kPipeline, Client::kFloor}) {
        const bool started =
            client == Client::kPipeline ? StartLibrary(options, true) : StartClient(workload, options, Client::kFloor);
        bool ok = started;
        for (std::uint32_t what = 0; ok && what < kMeasuredCount; ++what) {
            ok = Prime(workload, what, client, 0);
            const varnok::FileCallCount before = varnok::CountedFileCalls();
            ok = Drive(PosterFor(workload, what, client, 0), events, 1, false).ok;
            const varnok::FileCallCount after = varnok::CountedFileCalls();
            counts.per_event[what][static_cast<std::uint32_t>(client)] =
                static_cast<double>((after.calls - before.calls) + (after.handles - before.handles)) / events;
        }
        DropFreshRecords(workload, client);
        if (!started || !StopClient(client, true) || !ok) {
            return false;
        }
    }
    return true;
}

double RunHotFile(const BenchFiles& files, const Options& options, bool one_file) {
    std::vector<std::vector<std::byte>> bodies;
    for (std::uint32_t lane = 0; lane < (one_file ? 1 : kPoolThreads); ++lane) {
        const std::wstring name = L"hot" + std::to_wstring(lane) + L".exe";
        const std::wstring path = (files.folder / name).wstring();
        if (!WriteDownloadedFile(path, Narrow(name))) {
            return -1;
        }
        bodies.push_back(NotificationBody(path, 0, 0, 0));
    }

    const UniqueHandle answered(::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
    g_hot.answered = answered.Get();
    g_hot.scan_ms = options.hot_scan_ms;
    g_hot.active = true;
    if (!StartLibrary(options, false)) {
        g_hot.active = false;
        return -1;
    }
    std::atomic<std::uint32_t> next_event{0};
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> next_id{1};
    const std::int64_t start = Now();
    std::vector<std::thread> lanes;
    for (std::uint32_t lane = 0; lane < kPoolThreads; ++lane) {
        lanes.emplace_back([&, body = bodies[lane % bodies.size()]]() mutable {
            while (next_event++ < options.hot_events && !failed.load()) {
                // An id that names no lane: the hot file's verdicts are counted by the result callback.
                const std::uint64_t event_id = (next_id++ << 8) | kNoLane;
                std::memcpy(body.data() + offsetof(varnok::ScanNotification, EventId), &event_id, sizeof(event_id));
                if (event_id % kTrafficResetEvery == 0) {
                    SimResetTraffic();
                }
                if (FAILED(SimPostNotification(body.data(), static_cast<std::uint32_t>(body.size()),
                                               sizeof(varnok::ScanReply), nullptr, kWaitMs)) ||
                    ::WaitForSingleObject(answered.Get(), kWaitMs) != WAIT_OBJECT_0) {
                    failed = true;
                }
            }
        });
    }
    for (std::thread& lane : lanes) {
        lane.join();
    }
    const bool stopped = ::ClientDisconnect() == S_OK;
    g_hot.active = false;
    if (failed.load() || !stopped) {
        return -1;
    }
    return options.hot_events / (TicksToMs(g_hot.last_answer.load() - start) / 1000.0);
}

bool RunSoak(Workload& workload, const Options& options, SoakResult& soak) {
    if (!StartLibrary(options, false)) {
        return false;
    }
    Poster& mix = workload.mix[0][1];
    bool ok = Drive(mix, options.soak_first, kPoolThreads, false).ok;
    if (ok) {
        ::Sleep(300);  // the workers back in their receives after the last verdict
        soak.first = ReadMemory();
        const std::int64_t start = Now();
        ok = Drive(mix, options.soak_events - options.soak_first, kPoolThreads, false).ok;
        soak.seconds = TicksToMs(Now() - start) / 1000.0;
    }
    if (ok) {
        ::Sleep(300);
        soak.last = ReadMemory();
    }
    DropRecords(workload.files.mix[0][1]);
    return ::ClientDisconnect() == S_OK && ok;
}

}  // namespace bench
