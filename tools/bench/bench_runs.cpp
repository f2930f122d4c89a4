#include "tools/bench/bench_runs.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <utility>

#include "driver_sim.h"
#include "tools/bench/bench_clock.h"
#include "tools/bench/bench_file_work.h"
#include "tools/bench/bench_floor.h"
#include "unique_handle.h"
#include "varnokclient.h"
#include "wire.h"

namespace bench {
namespace {

using varnok::UniqueHandle;

// What both the library and the floor send the driver when they start.
DriverConfig BenchConfig() {
    DriverConfig config{};
    std::wmemcpy(config.ConfigText, L"bench", 5);
    return config;
}

bool StartLibrary(const Options& options) {
    SimResetTraffic();
    const DriverConfig config = BenchConfig();
    if (FilterInit(&config, ScanAtOnce, TakeResult, options.log ? TakeLogLine : nullptr) != S_OK) {
        std::fputs("FilterInit failed\n", stderr);
        return false;
    }
    return SimWaitForTraffic(0, 1, kWaitMs) != FALSE;  // the configuration went out
}

// Waits until the workers are idle in their receives again after the last verdict callback.
void SettleAndRead(MemoryReading& reading) {
    ::Sleep(300);
    SimResetTraffic();
    reading = ReadMemory();
}

}  // namespace

bool RunPipeline(Poster& poster, const Options& options, Measured& measured) {
    if (!StartLibrary(options)) {
        return false;
    }
    const std::uint64_t scans_before = g_flight.scans.load();
    bool ok = Drive(poster, options.warm_up_events, kPoolThreads, false).ok;
    for (int k = 0; ok && k < 2; ++k) {
        RunResult run = Drive(poster, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k], true);
        ok = run.ok;
        measured.pipeline[k].push_back(std::move(run));
    }
    const std::uint64_t expected =
        static_cast<std::uint64_t>(options.warm_up_events) + options.serial_events + options.parallel_events;
    if (ok && g_flight.scans.load() - scans_before != expected) {
        std::fputs("the library did not scan every event: the files no longer need a full scan\n", stderr);
        ok = false;
    }
    return ClientDisconnect() == S_OK && ok;
}

bool RunFloor(Poster& poster, const Options& options, bool file_work, std::vector<RunResult>* results) {
    SimResetTraffic();
    bool ok = StartFloorClient(BenchConfig(), file_work);
    if (ok) {
        ok = Drive(poster, options.warm_up_events, kPoolThreads, false).ok;
    }
    for (int k = 0; ok && k < 2; ++k) {
        RunResult run = Drive(poster, k == 0 ? options.serial_events : options.parallel_events, kInFlight[k], true);
        ok = run.ok;
        results[k].push_back(std::move(run));
    }
    return StopFloorClient() && ok;
}

RunResult DriveFileWorkOnly(const BenchFiles& files, std::uint32_t events, std::uint32_t thread_count) {
    std::atomic<std::uint32_t> next{0};
    const UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (std::uint32_t i = 0; i < thread_count; ++i) {
        threads.emplace_back([&] {
            std::vector<char> buffer(kStreamBufferBytes);
            ::WaitForSingleObject(go.Get(), INFINITE);
            for (std::uint32_t event = next++; event < events; event = next++) {
                DoFileWork(files.paths[event % files.paths.size()].c_str(), buffer);
            }
        });
    }
    const double cpu_before = ProcessCpuMicroseconds();
    const std::int64_t start = Now();
    ::SetEvent(go.Get());
    for (std::thread& thread : threads) {
        thread.join();
    }
    RunResult result;
    result.ok = true;
    result.events = events;
    result.seconds = TicksToMs(Now() - start) / 1000.0;
    result.cpu_us_per_event = (ProcessCpuMicroseconds() - cpu_before) / events;
    return result;
}

double RunHotFile(const BenchFiles& files, const Options& options, bool one_file) {
    std::vector<std::vector<std::byte>> bodies;
    for (std::uint32_t lane = 0; lane < (one_file ? 1 : kPoolThreads); ++lane) {
        const std::wstring name = L"hot" + std::to_wstring(lane) + L".exe";
        const std::wstring path = (files.folder / name).wstring();
        std::string varnok;
        if (!WriteDownloadedFile(path, Narrow(name), varnok)) {
            return -1;
        }
        bodies.push_back(NotificationBody(path, 0, 0, 0));
    }

    const UniqueHandle answered(::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
    g_hot.answered = answered.Get();
    g_hot.scan_ms = options.hot_scan_ms;
    g_hot.active = true;
    if (!StartLibrary(options)) {
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
                const std::uint64_t event_id = next_id++;
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
    const bool stopped = ClientDisconnect() == S_OK;
    g_hot.active = false;
    if (failed.load() || !stopped) {
        return -1;
    }
    return options.hot_events / (TicksToMs(g_hot.last_answer.load() - start) / 1000.0);
}

bool RunSoak(Poster& poster, const Options& options, SoakResult& soak) {
    if (!StartLibrary(options)) {
        return false;
    }
    bool ok = Drive(poster, options.soak_first, kPoolThreads, false).ok;
    if (ok) {
        SettleAndRead(soak.first);
        const std::int64_t start = Now();
        ok = Drive(poster, options.soak_events - options.soak_first, kPoolThreads, false).ok;
        soak.seconds = TicksToMs(Now() - start) / 1000.0;
    }
    if (ok) {
        SettleAndRead(soak.last);
    }
    return ClientDisconnect() == S_OK && ok;
}

}  // namespace bench
