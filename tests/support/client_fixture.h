// A test of the library's exports against a freshly created simulated port; the library is stopped,
// the simulator's injected faults are cleared and the port is closed after it.
#pragma once

#include <set>

#include "support/host_harness.h"

namespace varnok::test {

// The Zone.Identifier of a download from a known host.
inline const std::string kDownloadZone = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";

// A scanner whose scans of one file wait until they are released, one by one by their event's
// Value3 or all at once; every scan answers kSlowVerdictBase + Value3.
inline constexpr std::int32_t kSlowVerdictBase = 1000;

struct SlowScanner {
    std::mutex mutex;
    std::condition_variable changed;
    std::wstring slow_file;
    std::set<std::uint32_t> released;
    bool release_all = false;
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
                                 [&] { return scanner.release_all || scanner.released.count(file_info.Value3) != 0; });
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
            scanner.released.clear();
            scanner.release_all = false;
        });
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        ChangeScanner([](SlowScanner& scanner) { scanner.release_all = true; });
        ClientDisconnect();
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
        ASSERT_EQ(FilterInit(&config, scan, result, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }

    // A file in the test's folder, downloaded from a known host.
    std::wstring Download(const std::wstring& name) const {
        const std::wstring file = folder.File(name);
        WriteStream(file, L"Zone.Identifier", kDownloadZone);
        return file;
    }

    // Sends one file event (numbered on from the last unless given) and returns its verdict command.
    ScanCommand Examine(const std::wstring& path, std::uint64_t event_id = 0) {
        next_event_id = event_id != 0 ? event_id : next_event_id + 1;
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, next_event_id);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        EXPECT_FALSE(verdicts.empty());
        EXPECT_EQ(verdicts.empty() ? 0 : verdicts.back().EventId, next_event_id);
        return verdicts.empty() ? ScanCommand{} : verdicts.back();
    }

    TempFolder folder;
    std::uint64_t next_event_id = 0;
};

}  // namespace varnok::test
