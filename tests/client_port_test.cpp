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

class PortTest : public SimulatedDriverTest {
protected:
    void TearDown() override {
        SimulatedDriverTest::TearDown();
        SimFailCommands(S_OK, 0);
    }

    // Posts the first `length` bytes of the body: less than the whole makes a short message.
    static void Post(const ScanNotification& notification, std::uint32_t length) {
        EXPECT_EQ(SimPostNotification(&notification, length, sizeof(ScanReply), nullptr, kWaitMs), S_OK);
    }

    // Passes twice as many events for `path` as there are buffers, one after another, so that a
    // later short message lands on buffers that held this name and body; then forgets them.
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
    StartClient();
    // What an earlier, longer name would leave behind "ab": another download, never named.
    const std::wstring never_named = Download(L"abvictim.exe");
    const std::wstring cut = Download(L"ab");
    FillBuffers((folder.path / L"XYvictim.exe").wstring(), 2, 0);

    Post(MakeFileEvent(cut, 900), kFixedBody + static_cast<std::uint32_t>(cut.size() * sizeof(WireChar)));
    ASSERT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(1));
    const std::vector<ScanCall> scans = Host().Scans();
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].file_name, cut);
    EXPECT_EQ(Host().LogLines(), (std::vector<LogLine>{{0, L"NEW EVENT -----  for " + cut}}));
    EXPECT_EQ(ReadStream(never_named, L"varnok"), std::nullopt);
}

// Each on a buffer that held a whole event for the same file: a message that ends inside the fixed
// fields gets no reply and no verdict; one that ends before the name gets verdict 2 unexamined.
TEST_F(PortTest, ShortMessagesNeverReadWhatAnEarlierOneLeft) {
    StartClient();
    const std::wstring file = Download(L"download.exe");
    FillBuffers(file, 1, 1);
    const std::uint32_t lengths[] = {0, 4, 16, kFixedBody - 1, kFixedBody, kFixedBody + 1};
    std::uint32_t answerable = kScanThreadCountForTests;
    for (std::uint32_t i = 0; i < 2 * kScanThreadCountForTests; ++i) {
        Post(MakeFileEvent(file, 300 + i), lengths[i % 6]);
        answerable += lengths[i % 6] >= kFixedBody ? 1 : 0;
    }
    for (std::uint32_t i = 0; i < kScanThreadCountForTests; ++i) {
        PostFileEvent(file, 700 + i);
    }
    ASSERT_TRUE(SimWaitForTraffic(answerable, answerable, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(kScanThreadCountForTests));

    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(answered.insert(verdict.EventId).second);
        if (verdict.EventId < 700) {
            EXPECT_GE(lengths[(verdict.EventId - 300) % 6], kFixedBody) << verdict.EventId;
            EXPECT_EQ(verdict.Verdict, 2);
        } else {
            EXPECT_EQ(verdict.Verdict, 1);
        }
    }
    EXPECT_EQ(answered.size(), answerable);
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), answerable);
    EXPECT_EQ(Host().Scans().size(), kScanThreadCountForTests);
}

// ---- Order and circulation ----------------------------------------------------------------------------

// The MessageIds the driver had replies for when the scan of each file began.
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
    StartClient(ScanRecordingReplies);
    std::map<std::wstring, std::uint64_t> message_of_file;
    for (int i = 0; i < 10; ++i) {
        const std::wstring file = Download(L"download" + std::to_wstring(i) + L".exe");
        message_of_file[file] = PostFileEvent(file, 40 + static_cast<std::uint64_t>(i));
    }
    ASSERT_TRUE(SimWaitForTraffic(10, 11, kWaitMs));
    const std::lock_guard lock(g_replied_mutex);
    for (const auto& [file, message_id] : message_of_file) {
        EXPECT_EQ(g_replied_before_scan[file].count(message_id), 1u) << "scanned before its reply";
    }
}

TEST_F(PortTest, MoreNotificationsOfOtherKindsThanBuffersLeaveEveryBufferInCirculation) {
    StartClient();
    const std::wstring file = Download(L"download.exe");
    for (std::uint32_t i = 0; i < 3 * kScanThreadCountForTests; ++i) {
        const ScanNotification notification = MakeFileEvent(file, 100 + i, i % 3 + 1);
        ASSERT_EQ(SimPostNotification(&notification, sizeof(notification), 0, nullptr, kWaitMs), S_OK);
    }
    EXPECT_EQ(ExamineFile(file), 1);
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), 1u);
    EXPECT_EQ(Host().Scans().size(), 1u);
}

// A configuration text without a NUL reaches the driver cut to 1023 units and terminated; a
// configuration the driver refuses is told as 0.
TEST_F(PortTest, ConfigurationReachesTheDriverWholeAndARefusalIsTold) {
    DriverConfig config = MakeConfig();
    for (std::uint32_t i = 0; i < 1024; ++i) {
        config.ConfigText[i] = static_cast<wchar_t>(L'A' + i % 26);
    }
    config.ConfigValue1 = 0xDEADBEEFu;
    ASSERT_EQ(FilterInit(&config, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    const ScanCommand sent = AsCommand(Traffic(SIM_TRAFFIC_COMMAND).at(0));
    EXPECT_EQ(sent.Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(std::wstring(sent.ConfigText, 1023), std::wstring(config.ConfigText, 1023));
    EXPECT_EQ(sent.ConfigText[1023], 0);
    EXPECT_EQ(sent.ConfigValue1, 0xDEADBEEFu);
    EXPECT_EQ(sent.ConfigValue2, 9u);

    SimFailCommands(E_ACCESSDENIED, 1);
    EXPECT_EQ(SetDriverConfiguration(L"refused", 1, 2), 0);
}

}  // namespace
}  // namespace varnok::test
