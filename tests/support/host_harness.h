// What the tests of the library's exports share: the host's side (recording callbacks), files with
// alternate data streams, and the driver's side through the driver simulator.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver_sim.h"
#include "test_files.h"
#include "varnokclient.h"
#include "wire.h"

namespace varnok::test {

inline constexpr std::uint32_t kWaitMs = 20000;
inline constexpr std::uint32_t kScanThreadCountForTests = 25;
// The values that every simulated file event carries, and that the host must get back unchanged.
inline constexpr std::uint32_t kEventValue1 = 0x1111;
inline constexpr std::uint32_t kEventValue2 = 0x2222;
inline constexpr std::uint32_t kEventValue3 = 0x3333;
// What the recording host's scan answers unless a test says otherwise: a verdict of the host's own.
inline constexpr std::int32_t kRecordedVerdict = 1;

// ---- The host ------------------------------------------------------------------------------------

struct ScanCall {
    std::wstring file_name;
    std::uint32_t value3;
    std::int32_t zone_id;
    std::wstring source;
    std::uint64_t reserved;
    std::uint32_t value2;
    std::uint32_t value1;
};

struct ResultCall {
    std::wstring path;
    std::int32_t verdict;
};

// Records every callback; every scan answers `default_verdict`.
struct HostRecorder {
    std::mutex mutex;
    std::condition_variable recorded;
    std::vector<LogLine> log_lines;
    std::vector<ScanCall> scans;
    std::vector<ResultCall> results;
    std::int32_t default_verdict = kRecordedVerdict;
    std::atomic<bool> throw_from_scan{false};

    void Reset() {
        const std::lock_guard<std::mutex> lock(mutex);
        log_lines.clear();
        scans.clear();
        results.clear();
        default_verdict = kRecordedVerdict;
        throw_from_scan = false;
    }
    // Waits until at least `count` log lines, or results, have arrived: the handler logs and
    // reports some of them after it sent the verdict.
    bool WaitForLogLines(std::size_t count) {
        return WaitUntil([&] { return log_lines.size() >= count; });
    }
    bool WaitForResults(std::size_t count) {
        return WaitUntil([&] { return results.size() >= count; });
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
    std::vector<ResultCall> Results() {
        const std::lock_guard<std::mutex> lock(mutex);
        return results;
    }
};

inline HostRecorder& Host() {
    static HostRecorder host;
    return host;
}

inline std::int32_t RecordScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    HostRecorder& host = Host();
    if (host.throw_from_scan) {
        throw std::runtime_error("host scanner failed");
    }
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.scans.push_back(
        {file_info.FileName, file_info.Value3, file_info.ZoneId, file_info.Source, file_info.Reserved, value2, value1});
    return host.default_verdict;
}

inline void RecordResult(const wchar_t* path, std::int32_t verdict) {
    HostRecorder& host = Host();
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.results.push_back({path, verdict});
    host.recorded.notify_all();
}

inline void RecordLog(std::uint32_t level, const wchar_t* text) {
    HostRecorder& host = Host();
    const std::lock_guard<std::mutex> lock(host.mutex);
    host.log_lines.push_back({level, text});
    host.recorded.notify_all();
}

inline DriverConfig MakeConfig(const wchar_t* text = L"scan", std::uint32_t value1 = 7, std::uint32_t value2 = 9) {
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

inline std::uint64_t PostFileEvent(const std::wstring& path, std::uint64_t event_id, std::uint32_t kind = 0) {
    const ScanNotification notification = MakeFileEvent(path, event_id, kind);
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

inline ScanCommand AsCommand(const SimTraffic& record) {
    ScanCommand command{};
    std::memcpy(&command, record.Bytes, std::min<std::size_t>(sizeof(command), record.Length));
    return command;
}

inline ScanReply AsReply(const SimTraffic& record) {
    ScanReply reply{};
    std::memcpy(&reply, record.Bytes, std::min<std::size_t>(sizeof(reply), record.Length));
    return reply;
}

// The verdict commands (command 1) recorded so far, in order.
inline std::vector<ScanCommand> Verdicts() {
    std::vector<ScanCommand> verdicts;
    for (const SimTraffic& record : Traffic(SIM_TRAFFIC_COMMAND)) {
        const ScanCommand command = AsCommand(record);
        if (command.Command == CommandScanResult) {
            verdicts.push_back(command);
        }
    }
    return verdicts;
}

inline std::size_t VerdictCount() { return Verdicts().size(); }

}  // namespace varnok::test
