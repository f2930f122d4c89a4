// A test of the library's exports against a freshly created simulated port; the library is stopped
// and the port closed after it.
#pragma once

#include "support/host_harness.h"

namespace varnok::test {

// The Zone.Identifier of a download from a known host.
inline const std::string kDownloadZone = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";

class SimulatedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().Reset();
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        ClientDisconnect();
        SimClosePort();
        SimResetTraffic();
    }

    // Starts the library and waits for the configuration it sends.
    static void StartClient(ScanCallback scan = RecordScan, ScanResultCallback result = RecordResult,
                            LogCallback log = RecordLog, const wchar_t* config_text = L"scan") {
        const DriverConfig config = MakeConfig(config_text);
        ASSERT_EQ(FilterInit(&config, scan, result, log), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }

    // A file in the test's folder, downloaded from a known host.
    std::wstring Download(const std::wstring& name) const {
        const std::wstring file = folder.File(name);
        WriteStream(file, L"Zone.Identifier", kDownloadZone);
        return file;
    }

    // Sends one file event, waits for its verdict and returns it (-1 when none came).
    std::int32_t ExamineFile(const std::wstring& path) {
        const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
        PostFileEvent(path, ++next_event_id);
        EXPECT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        const std::vector<ScanCommand> verdicts = Verdicts();
        return verdicts.empty() || verdicts.back().EventId != next_event_id ? -1 : verdicts.back().Verdict;
    }

    TempFolder folder;
    std::uint64_t next_event_id = 0;
};

}  // namespace varnok::test
