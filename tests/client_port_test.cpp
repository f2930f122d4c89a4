// What crosses the port, seen through the exports: a notification is only what the driver sent,
// the reply precedes the examination, every buffer goes back into circulation, and the
// configuration reaches the driver as the host gave it.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

constexpr std::uint32_t kFixedBody = offsetof(ScanNotification, FileName);
const std::string kDownload = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";

class PortTest : public SimulatedDriverTest {
protected:
    void TearDown() override {
        SimulatedDriverTest::TearDown();
        SimFailCommands(S_OK, 0);
    }

    static void Start(ScanCallback scan = RecordScan) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, scan, RecordResult, RecordLog), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));  // the configuration
    }

    // Posts the first `length` bytes of the body: less than the whole makes a short message.
    static std::uint64_t Post(const ScanNotification& notification, std::uint32_t length) {
        std::uint64_t message_id = 0;
        EXPECT_EQ(SimPostNotification(&notification, length, sizeof(ScanReply), &message_id, kWaitMs), S_OK);
        return message_id;
    }

    // Passes events for `path` through the library one after another, twice as many as there are
    // buffers, so that the buffers in circulation have held this name and its body: a later short
    // message lands on what they left. Each event ends with its log lines and results, some of
    // which come after the verdict.
    static void FillBuffers(const std::wstring& path, std::size_t lines_per_event, std::size_t results_per_event) {
        const std::size_t events = 2 * kScanThreadCountForTests;
        for (std::size_t i = 0; i < events; ++i) {
            const std::uint32_t commands = SimTrafficCount(SIM_TRAFFIC_COMMAND);
            PostFileEvent(path, 0xF000 + i);
            ASSERT_TRUE(SimWaitForTraffic(0, commands + 1, kWaitMs));
        }
        ASSERT_TRUE(Host().WaitUntil([&] {
            return Host().log_lines.size() == events * lines_per_event &&
                   Host().results.size() == events * results_per_event;
        }));
        SimResetTraffic();
        Host().Reset();
    }
};

// ---- Short notifications ----------------------------------------------------------------------------

TEST_F(PortTest, NameCutBeforeItsNulIsReadAsExactlyWhatArrived) {
    Start();
    // What an earlier, longer name would leave behind "ab": another download, never named.
    const std::wstring never_named = folder.File(L"abvictim.exe");
    WriteStream(never_named, L"Zone.Identifier", kDownload);
    const std::wstring cut = folder.File(L"ab");
    WriteStream(cut, L"Zone.Identifier", kDownload);
    FillBuffers((folder.path / L"XYvictim.exe").wstring(), 2, 0);

    const ScanNotification notification = MakeFileEvent(cut, 900);
    Post(notification, kFixedBody + static_cast<std::uint32_t>(cut.size() * sizeof(WireChar)));
    ASSERT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(1));

    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].file_name, cut);
    EXPECT_EQ(Host().LogLines(), (std::vector<LogLine>{{0, L"NEW EVENT -----  for " + cut}}));
    EXPECT_NE(ReadStream(cut, L"varnok").value_or("").find("ScanResult=1\r\n"), std::string::npos);
    EXPECT_EQ(ReadStream(never_named, L"varnok"), std::nullopt);
}

TEST_F(PortTest, MessageTooShortForItsFixedFieldsGetsNoReplyAndNoVerdict) {
    Start();
    const std::wstring file = folder.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    FillBuffers(file, 1, 1);

    // A header alone, and bodies that end inside the fixed fields, each on a buffer that held a
    // whole event for the same file.
    const std::uint32_t lengths[] = {0, 4, 16, kFixedBody - 1};
    for (std::uint32_t i = 0; i < 2 * kScanThreadCountForTests; ++i) {
        Post(MakeFileEvent(file, 500 + i), lengths[i % 4]);
    }
    // Then whole events: each is answered once, and nothing else is.
    for (std::uint32_t i = 0; i < kScanThreadCountForTests; ++i) {
        PostFileEvent(file, 700 + i);
    }
    ASSERT_TRUE(SimWaitForTraffic(kScanThreadCountForTests, kScanThreadCountForTests, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(kScanThreadCountForTests));

    std::multiset<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        answered.insert(verdict.EventId);
    }
    std::multiset<std::uint64_t> expected;
    for (std::uint32_t i = 0; i < kScanThreadCountForTests; ++i) {
        expected.insert(700 + i);
    }
    EXPECT_EQ(answered, expected);
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), kScanThreadCountForTests);
    EXPECT_EQ(Host().Scans().size(), kScanThreadCountForTests);
}

TEST_F(PortTest, BodyCutBeforeTheNameIsAnEventThatNamesNoFile) {
    Start();
    const std::wstring file = folder.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    FillBuffers(file, 1, 1);

    // The fixed fields arrived, not one whole unit of the name: the event is answered with verdict
    // 2 and never examined, and the earlier event's name is not read into it.
    constexpr std::uint32_t kEvents = 2 * kScanThreadCountForTests;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        Post(MakeFileEvent(file, 300 + i), kFixedBody + i % 2);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, kEvents, kWaitMs));

    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_EQ(verdict.Verdict, 2);
        answered.insert(verdict.EventId);
    }
    EXPECT_EQ(answered.size(), kEvents);
    EXPECT_EQ(*answered.begin(), 300u);
    EXPECT_EQ(*answered.rbegin(), 300u + kEvents - 1);
    EXPECT_TRUE(Host().Scans().empty());
    EXPECT_TRUE(Host().LogLines().empty());
}

// ---- Order and circulation ----------------------------------------------------------------------------

// The MessageIds the driver had received replies for when the scan of each file began.
std::mutex g_replied_mutex;
std::map<std::wstring, std::set<std::uint64_t>> g_replied_before_scan;

std::int32_t ScanRecordingReplies(FileInfo file_info, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    std::set<std::uint64_t> replied;
    for (const SimTraffic& reply : Traffic(SIM_TRAFFIC_REPLY)) {
        replied.insert(AsReply(reply).MessageId);
    }
    const std::lock_guard lock(g_replied_mutex);
    g_replied_before_scan[file_info.FileName] = std::move(replied);
    return 1;
}

TEST_F(PortTest, ReplyReachesTheDriverBeforeTheFileIsExamined) {
    Start(ScanRecordingReplies);
    std::map<std::wstring, std::uint64_t> message_of_file;
    for (int i = 0; i < 10; ++i) {
        const std::wstring file = folder.File(L"download" + std::to_wstring(i) + L".exe");
        WriteStream(file, L"Zone.Identifier", kDownload);
        message_of_file[file] = PostFileEvent(file, 40 + static_cast<std::uint64_t>(i));
    }
    ASSERT_TRUE(SimWaitForTraffic(10, 11, kWaitMs));

    const std::lock_guard lock(g_replied_mutex);
    for (const auto& [file, message_id] : message_of_file) {
        ASSERT_EQ(g_replied_before_scan.count(file), 1u);
        EXPECT_EQ(g_replied_before_scan[file].count(message_id), 1u) << "scanned before its reply";
    }
}

TEST_F(PortTest, MoreNotificationsOfOtherKindsThanBuffersLeaveEveryBufferInCirculation) {
    Start();
    const std::wstring file = folder.File(L"download.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    const std::uint32_t kinds[] = {1, 2, 0xFFFFFFFFu};
    for (std::uint32_t i = 0; i < 3 * kScanThreadCountForTests; ++i) {
        const ScanNotification notification = MakeFileEvent(file, 100 + i, kinds[i % 3]);
        ASSERT_EQ(SimPostNotification(&notification, sizeof(notification), 0, nullptr, kWaitMs), S_OK);
    }
    PostFileEvent(file, 9);
    ASSERT_TRUE(SimWaitForTraffic(1, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(0).EventId, 9u);
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), 1u);
    EXPECT_EQ(Host().Scans().size(), 1u);
}

// ---- The configuration ---------------------------------------------------------------------------------

TEST_F(PortTest, ConfigurationOfFilterInitReachesTheDriverWhole) {
    DriverConfig config = MakeConfig();
    for (std::uint32_t i = 0; i < 1024; ++i) {
        config.ConfigText[i] = static_cast<wchar_t>(L'A' + i % 26);  // no NUL anywhere
    }
    config.ConfigValue1 = 0xDEADBEEFu;
    config.ConfigValue2 = 42;
    ASSERT_EQ(FilterInit(&config, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));

    const ScanCommand sent = AsCommand(Traffic(SIM_TRAFFIC_COMMAND).at(0));
    EXPECT_EQ(sent.Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(std::wstring(sent.ConfigText, 1023), std::wstring(config.ConfigText, 1023));
    EXPECT_EQ(sent.ConfigText[1023], 0);
    EXPECT_EQ(sent.ConfigValue1, 0xDEADBEEFu);
    EXPECT_EQ(sent.ConfigValue2, 42u);
}

TEST_F(PortTest, SetDriverConfigurationTellsWhetherTheDriverTookIt) {
    Start();
    SimFailCommands(E_ACCESSDENIED, 1);
    EXPECT_EQ(SetDriverConfiguration(L"refused", 1, 2), 0);
    EXPECT_EQ(SetDriverConfiguration(L"", 3, 4), 1);
    const ScanCommand sent = AsCommand(Traffic(SIM_TRAFFIC_COMMAND).back());
    EXPECT_EQ(sent.Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(sent.ConfigText[0], 0);
    EXPECT_EQ(sent.ConfigValue1, 3u);
    EXPECT_EQ(sent.ConfigValue2, 4u);
}

}  // namespace
}  // namespace varnok::test
