// What the tests of the exports share: the simulated driver, a slow host scan, and a fixture.
#pragma once

#include <cstring>
#include <set>

#include "driver_sim.h"
#include "running_client.h"  // kScanThreadCount: the library's workers, and its receive buffers in circulation
#include "tests/support/fake_host.h"
#include "tools/common/process_usage.h"
#include "wire.h"

namespace varnok::test {

inline constexpr std::uint32_t kConfigValue2 = 9;

inline DriverConfig MakeConfig() { return {.ConfigText = L"scan", .ConfigValue1 = 7, .ConfigValue2 = kConfigValue2}; }

inline ScanNotification MakeFileEvent(const std::wstring& path, std::uint64_t event_id,
                                      std::uint32_t value3 = kEventValue3, std::uint32_t kind = 0) {
    ScanNotification notification{};
    notification.Kind = kind;
    notification.Value1 = kEventValue1;
    notification.EventId = event_id;
    notification.Value2 = kEventValue2;
    notification.Value3 = value3;
    std::copy_n(path.data(), std::min<std::size_t>(path.size(), kFileNameUnits), notification.FileName);
    return notification;
}

// Sends a file event, waiting until a receive took it; returns its message id.
inline std::uint64_t PostFileEvent(const std::wstring& path, std::uint64_t event_id,
                                   std::uint32_t value3 = kEventValue3) {
    const ScanNotification notification = MakeFileEvent(path, event_id, value3);
    std::uint64_t message_id = 0;
    EXPECT_EQ(SimPostNotification(&notification, sizeof(notification), sizeof(ScanReply), &message_id, kWaitMs), S_OK);
    return message_id;
}

inline std::vector<SimTraffic> Traffic(std::uint32_t kind) {
    std::vector<SimTraffic> records(SimTrafficCount(kind));
    for (std::uint32_t i = 0; i < records.size(); ++i) {
        SimGetTraffic(kind, i, &records[i]);
    }
    return records;
}

// A recorded message read as the wire record T (a ScanCommand or a ScanReply).
template <class T>
T As(const SimTraffic& record) {
    T message{};
    std::memcpy(&message, record.Bytes, std::min<std::size_t>(sizeof(message), record.Length));
    return message;
}

inline std::vector<ScanCommand> Verdicts() {
    std::vector<ScanCommand> verdicts;
    for (const SimTraffic& record : Traffic(SIM_TRAFFIC_COMMAND)) {
        if (As<ScanCommand>(record).Command == CommandScanResult) {
            verdicts.push_back(As<ScanCommand>(record));
        }
    }
    return verdicts;
}

// The events that got a verdict, each of which got only one.
inline std::set<std::uint64_t> AnsweredOnce() {
    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(answered.insert(verdict.EventId).second) << "two verdicts for event " << verdict.EventId;
    }
    return answered;
}

// Scans of one file wait until released (Value3 below `released_below`); each answers base + Value3.
inline constexpr std::int32_t kSlowVerdictBase = 1000;
struct SlowScanner {
    std::wstring slow_file;
    std::uint32_t released_below = 0;
    std::size_t waiting = 0;
};
inline SlowScanner g_slow_scanner;

inline std::int32_t ScanSlowly(const ScanCall& scan) {
    std::unique_lock<std::mutex> lock(Host().mutex);
    if (scan.file_name == g_slow_scanner.slow_file) {
        ++g_slow_scanner.waiting;
        Host().changed.notify_all();
        Host().changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                [&] { return scan.value3 < g_slow_scanner.released_below; });
        --g_slow_scanner.waiting;
        Host().changed.notify_all();
    }
    return kSlowVerdictBase + static_cast<std::int32_t>(scan.value3);
}

// Answers scans slowly from now on, holding those of `file`.
inline void HoldScansOf(const std::wstring& file) {
    ChangeHost([&](FakeHost& host) {
        g_slow_scanner.slow_file = file;
        host.answer = ScanSlowly;
    });
}

inline void ReleaseSlowScans(std::uint32_t below = UINT32_MAX) {
    ChangeHost([&](FakeHost&) { g_slow_scanner.released_below = below; });
}

inline bool WaitForSlowScans(std::size_t count) {
    return Host().WaitUntil([&] { return g_slow_scanner.waiting == count; });
}

class SimulatedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().Forget();
        ChangeHost([](FakeHost&) { g_slow_scanner = SlowScanner{}; });
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        ReleaseSlowScans();
        ::ClientDisconnect();
        SimRefuseReplies(0);
        SimFailReceives(S_OK, 0);
        SimFailConnect(S_OK, 0);
        SimFailCommands(S_OK, 0);
        SimImmediateReceives(0);
        SimClosePort();
        SimResetTraffic();
    }

    static void Start(ScanResultCallback result = HostResult, LogCallback log = HostLog) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(::FilterInit(&config, HostScan, result, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }

    ScanCommand Examine(const std::wstring& path, std::uint64_t event_id = 0) {
        next_event_id_ = event_id != 0 ? event_id : next_event_id_ + 1;
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, next_event_id_);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const ScanCommand verdict = Verdicts().empty() ? ScanCommand{} : Verdicts().back();
        EXPECT_EQ(verdict.EventId, next_event_id_);
        return verdict;
    }

    TempFolder folder_;
    std::uint64_t next_event_id_ = 0;
};

}  // namespace varnok::test
