// What the tests of the library's exports share: the host's side (recording callbacks, a slow
// scanner), files with alternate data streams, the driver's side through the driver simulator, and a
// fixture that starts each test on a fresh simulated port and stops the library after it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver_sim.h"
#include "running_client.h"  // kScanThreadCount: the library's workers, and its receive buffers in circulation
#include "test_files.h"
#include "varnokclient.h"
#include "wire.h"

namespace varnok::test {

inline constexpr std::uint32_t kWaitMs = 20000;
// What the recording host's scan answers: a verdict of the host's own.
inline constexpr std::int32_t kRecordedVerdict = 1;
// The configuration a test starts the library with, unless it says otherwise.
inline constexpr const wchar_t* kConfigText = L"scan";
inline constexpr std::uint32_t kConfigValue1 = 7;
inline constexpr std::uint32_t kConfigValue2 = 9;

// ---- The host ------------------------------------------------------------------------------------

struct ScanCall {
    std::wstring file_name;
    std::uint32_t value1, value2, value3;
    std::uint64_t reserved;
};

// Records every callback.
struct HostRecorder {
    std::mutex mutex;
    std::condition_variable recorded;
    std::vector<LogLine> log_lines;
    std::vector<ScanCall> scans;
    std::size_t results = 0;

    void Reset() {
        const std::lock_guard<std::mutex> lock(mutex);
        log_lines.clear();
        scans.clear();
        results = 0;
    }
    // Waits until at least `count` results have arrived: the handler reports them after it sent the
    // verdict.
    bool WaitForResults(std::size_t count) {
        return WaitUntil([&] { return results >= count; });
    }
    template <class Predicate>
    bool WaitUntil(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return recorded.wait_for(lock, std::chrono::milliseconds(kWaitMs), predicate);
    }

    std::vector<LogLine> LogLines() {
        const std::lock_guard<std::mutex> lock(mutex);
        return log_lines;
    }
    std::vector<ScanCall> Scans() {
        const std::lock_guard<std::mutex> lock(mutex);
        return scans;
    }
};

inline HostRecorder& Host() {
    static HostRecorder host;
    return host;
}

inline std::int32_t RecordScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    HostRecorder& host = Host();
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.scans.push_back({file_info.FileName, value1, value2, file_info.Value3, file_info.Reserved});
    return kRecordedVerdict;
}

inline void RecordResult(const wchar_t* /*path*/, std::int32_t /*verdict*/) {
    HostRecorder& host = Host();
    const std::lock_guard<std::mutex> lock(host.mutex);
    ++host.results;
    host.recorded.notify_all();
}

inline void RecordLog(std::uint32_t level, const wchar_t* text) {
    HostRecorder& host = Host();
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.log_lines.push_back({level, text});
    host.recorded.notify_all();
}

inline DriverConfig MakeConfig(const wchar_t* text = kConfigText, std::uint32_t value1 = kConfigValue1,
                               std::uint32_t value2 = kConfigValue2) {
    DriverConfig config;
    std::memset(config.ConfigText, 0, sizeof(config.ConfigText));
    std::wcsncpy(config.ConfigText, text, 1023);
    config.ConfigValue1 = value1;
    config.ConfigValue2 = value2;
    return config;
}

// ---- The driver --------------------------------------------------------------------------------------

inline ScanNotification MakeFileEvent(const std::wstring& path, std::uint64_t event_id, std::uint32_t kind = 0) {
    ScanNotification notification{};
    notification.Kind = kind;
    notification.Value1 = kEventValue1;
    notification.EventId = event_id;
    notification.Value2 = kEventValue2;
    notification.Value3 = kEventValue3;
    std::copy_n(path.data(), std::min<std::size_t>(path.size(), kFileNameUnits), notification.FileName);
    return notification;
}

// Sends a file event, waiting until a receive took it; returns its message id.
inline std::uint64_t PostFileEvent(const std::wstring& path, std::uint64_t event_id,
                                   std::uint32_t value3 = kEventValue3) {
    ScanNotification notification = MakeFileEvent(path, event_id);
    notification.Value3 = value3;
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

// The verdict commands (command 1) recorded so far, in order.
inline std::vector<ScanCommand> Verdicts() {
    std::vector<ScanCommand> verdicts;
    for (const SimTraffic& record : Traffic(SIM_TRAFFIC_COMMAND)) {
        const auto command = As<ScanCommand>(record);
        if (command.Command == CommandScanResult) {
            verdicts.push_back(command);
        }
    }
    return verdicts;
}

// ---- Tests of the exports ----------------------------------------------------------------------

// A scanner whose scans of one file wait until they are released: those whose event's Value3 lies
// below `released_below`. Every scan answers kSlowVerdictBase + Value3.
inline constexpr std::int32_t kSlowVerdictBase = 1000;

struct SlowScanner {
    std::mutex mutex;
    std::condition_variable changed;
    std::wstring slow_file;
    std::uint32_t released_below = 0;
    std::size_t waiting = 0;
};

inline SlowScanner& Scanner() {
    static SlowScanner scanner;
    return scanner;
}

inline std::int32_t ScanSlowly(FileInfo file_info, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    SlowScanner& scanner = Scanner();
    std::unique_lock<std::mutex> lock(scanner.mutex);
    if (file_info.FileName == scanner.slow_file) {
        ++scanner.waiting;
        scanner.changed.notify_all();
        scanner.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                 [&] { return file_info.Value3 < scanner.released_below; });
        --scanner.waiting;
    }
    return kSlowVerdictBase + static_cast<std::int32_t>(file_info.Value3);
}

template <class Change>
void ChangeScanner(Change change) {
    const std::lock_guard<std::mutex> lock(Scanner().mutex);
    change(Scanner());
    Scanner().changed.notify_all();
}

inline void ReleaseSlowScans() {
    ChangeScanner([](SlowScanner& scanner) { scanner.released_below = UINT32_MAX; });
}

// Waits until `count` scans of the slow file are held.
inline bool WaitForSlowScans(std::size_t count) {
    std::unique_lock<std::mutex> lock(Scanner().mutex);
    return Scanner().changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                      [&] { return Scanner().waiting == count; });
}

class SimulatedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().Reset();
        ChangeScanner([](SlowScanner& scanner) {
            scanner.slow_file.clear();
            scanner.released_below = 0;
        });
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

    // Starts the library and waits for the configuration it sends.
    static void Start(ScanCallback scan = RecordScan, ScanResultCallback result = RecordResult,
                      LogCallback log = RecordLog) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(::FilterInit(&config, scan, result, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }

    // A file in the test's folder, downloaded from a known host.
    std::wstring Download(const std::wstring& name) const {
        const std::wstring file = folder_.File(name);
        WriteStream(file, L"Zone.Identifier", kDownloadZone);
        return file;
    }

    // Sends one file event (numbered on from the last unless given) and returns its verdict command.
    ScanCommand Examine(const std::wstring& path, std::uint64_t event_id = 0) {
        next_event_id_ = event_id != 0 ? event_id : next_event_id_ + 1;
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, next_event_id_);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        EXPECT_FALSE(verdicts.empty());
        EXPECT_EQ(verdicts.empty() ? 0 : verdicts.back().EventId, next_event_id_);
        return verdicts.empty() ? ScanCommand{} : verdicts.back();
    }

    TempFolder folder_;
    std::uint64_t next_event_id_ = 0;
};

}  // namespace varnok::test
