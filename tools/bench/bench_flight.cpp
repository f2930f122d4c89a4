#include "tools/bench/bench_flight.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "driver_sim.h"
#include "tools/bench/bench_clock.h"
#include "tools/bench/bench_scenarios.h"
#include "unique_handle.h"
#include "wire.h"

namespace bench {

Flight g_flight;
HotFile g_hot;

namespace {

// What the lanes of one run share.
struct DriveState {
    Poster& poster;
    std::uint32_t events;
    std::uint32_t lane_count;
    bool record;
    std::atomic<std::uint32_t> next_event{0};
    std::atomic<bool> failed{false};
};

void RunLane(DriveState& state, std::uint32_t lane_index, HANDLE go) {
    Lane& lane = g_flight.lanes[lane_index];
    const auto file_count = static_cast<std::uint32_t>(state.poster.bodies.size());
    std::uint32_t file = lane_index;
    std::vector<std::byte> body;
    std::uint64_t serial = 0;
    ::WaitForSingleObject(go, INFINITE);
    for (std::uint32_t event = state.next_event++; event < state.events && !state.failed.load();
         event = state.next_event++) {
        body = state.poster.bodies[file];
        const std::uint64_t event_id = (++serial << 8) | lane_index;
        std::memcpy(body.data() + offsetof(varnok::ScanNotification, EventId), &event_id, sizeof(event_id));
        ::AcquireSRWLockExclusive(&lane.lock);
        lane.event = event;
        lane.event_id = event_id;
        ::ReleaseSRWLockExclusive(&lane.lock);
        if (event % kTrafficResetEvery == 0) {
            SimResetTraffic();
        }
        const std::int64_t posted_at = Now();
        if (state.record) {
            g_flight.posted[event] = posted_at;
        }
        if (const HRESULT hr = SimPostNotification(body.data(), static_cast<std::uint32_t>(body.size()),
                                                   sizeof(varnok::ScanReply), nullptr, kWaitMs);
            FAILED(hr)) {
            std::fprintf(stderr, "posting event %u failed: 0x%08lx\n", event, static_cast<unsigned long>(hr));
            state.failed.store(true);
            return;
        }
        ::AcquireSRWLockExclusive(&lane.lock);
        bool answered = true;
        while (answered && lane.event >= 0) {
            answered = ::SleepConditionVariableSRW(&lane.answered, &lane.lock, kWaitMs, 0) != FALSE;
        }
        ::ReleaseSRWLockExclusive(&lane.lock);
        if (!answered) {
            std::fprintf(stderr, "no verdict for event %u in %lu s (%llu scans so far)\n", event, kWaitMs / 1000,
                         static_cast<unsigned long long>(g_flight.scans.load()));
            state.failed.store(true);
            return;
        }
        file += state.lane_count;
        if (file >= file_count) {
            file = lane_index;
        }
    }
}

}  // namespace

void OnCommand(const void* command, std::uint32_t length, void* /*context*/) {
    const std::int64_t answered_at = Now();
    varnok::ScanCommand verdict{};
    if (length < sizeof(verdict)) {
        return;
    }
    std::memcpy(&verdict, command, sizeof(verdict));
    if (verdict.Command != varnok::CommandScanResult) {
        return;
    }
    const auto lane_index = static_cast<std::uint32_t>(verdict.EventId & 0xFFu);
    if (lane_index == kNoLane) {
        return;  // the hot-file run's: counted by the result callback
    }
    if (lane_index >= kPoolThreads) {
        g_flight.stray_verdicts.fetch_add(1);
        return;
    }
    Lane& lane = g_flight.lanes[lane_index];
    ::AcquireSRWLockExclusive(&lane.lock);
    const std::int64_t event = lane.event_id == verdict.EventId ? lane.event : -1;
    if (event >= 0) {
        if (static_cast<std::size_t>(event) < g_flight.answered.size()) {
            g_flight.answered[static_cast<std::size_t>(event)] = answered_at;
        }
        std::int64_t last = g_flight.last_answer.load();
        while (last < answered_at && !g_flight.last_answer.compare_exchange_weak(last, answered_at)) {
        }
        lane.event = -1;
    }
    ::ReleaseSRWLockExclusive(&lane.lock);
    if (event < 0) {
        g_flight.stray_verdicts.fetch_add(1);
        return;
    }
    ::WakeConditionVariable(&lane.answered);
}

std::int32_t ScanAtOnce(FileInfo file_info, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    g_flight.scans.fetch_add(1, std::memory_order_relaxed);
    if (g_hot.active.load(std::memory_order_relaxed)) {
        ::Sleep(g_hot.scan_ms);
        return 1;
    }
    return ScanVerdictFor(ScenarioOfPath(file_info.FileName));
}

void TakeResult(const wchar_t* /*path*/, std::int32_t /*verdict*/) {
    if (g_hot.active.load(std::memory_order_relaxed)) {
        g_hot.last_answer.store(Now());
        ::ReleaseSemaphore(g_hot.answered, 1, nullptr);
    }
}

void TakeLogLine(std::uint32_t /*level*/, const wchar_t* /*text*/) {
    g_flight.log_lines.fetch_add(1, std::memory_order_relaxed);
}

Poster PosterOf(const FileSet& set) {
    Poster poster;
    for (const std::wstring& path : set.paths) {
        poster.bodies.push_back(NotificationBody(path, 0x1111, 0x2222, 0x3333));
    }
    return poster;
}

RunResult Drive(Poster& poster, std::uint32_t events, std::uint32_t lane_count, bool record) {
    RunResult result;
    result.events = events;
    if (lane_count > poster.bodies.size()) {
        std::fputs("more lanes than files: two events in flight would name one file\n", stderr);
        return result;
    }
    if (events == 0) {
        result.ok = true;
        return result;
    }
    g_flight.posted.assign(record ? events : 0, 0);
    g_flight.answered.assign(record ? events : 0, 0);
    g_flight.lane_count.store(lane_count);
    DriveState state{poster, events, lane_count, record};
    const varnok::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> lanes;
    for (std::uint32_t i = 0; i < lane_count; ++i) {
        lanes.emplace_back(RunLane, std::ref(state), i, go.Get());
    }
    const double cpu_before = ProcessCpuMicroseconds();
    const std::int64_t start = Now();
    g_flight.last_answer.store(start);
    ::SetEvent(go.Get());
    for (std::thread& lane : lanes) {
        lane.join();
    }
    if (state.failed.load()) {
        return result;
    }
    result.cpu_us_per_event = (ProcessCpuMicroseconds() - cpu_before) / events;
    result.seconds = TicksToMs(g_flight.last_answer.load() - start) / 1000.0;
    double latency_sum_ms = 0;
    for (std::uint32_t event = 0; record && event < events; ++event) {
        result.latencies_ms.push_back(TicksToMs(g_flight.answered[event] - g_flight.posted[event]));
        latency_sum_ms += result.latencies_ms.back();
    }
    result.mean_in_flight = latency_sum_ms / (result.seconds * 1000.0);
    result.ok = true;
    return result;
}

}  // namespace bench
