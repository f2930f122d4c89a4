// The library as a host sees it: the real exports of varnokclient.dll against the driver simulator.
// What crosses the port (the reply before the examination, the ids on the wire, messages that are
// no whole file event, the configuration), the lifecycle of the exports, and the DLL's own unload.
#include <map>
#include <memory>

#include "tests/support/driver_harness.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

// A notification's bytes before its name.
constexpr std::uint32_t kFixedBody = offsetof(ScanNotification, FileName);

class ClientTest : public SimulatedDriverTest {
protected:
    // Posts the first `length` bytes of the body: less than the whole makes a short message.
    static void Post(const ScanNotification& notification, std::uint32_t length) {
        EXPECT_EQ(SimPostNotification(&notification, length, sizeof(ScanReply), nullptr, kWaitMs), S_OK);
    }

    // Passes twice as many events for `path` as there are buffers, one after another, so that a
    // later short message lands on buffers that held this name and body; then forgets them.
    void FillBuffers(const std::wstring& path, std::size_t lines_per_event, std::size_t results_per_event) {
        const std::size_t events = 2 * kScanThreadCount;
        for (std::size_t i = 0; i < events; ++i) {
            Examine(path);
        }
        ASSERT_TRUE(Host().WaitUntil([&] {
            return Host().log.size() == events * lines_per_event && Host().results.size() == events * results_per_event;
        }));
        SimResetTraffic();
        Host().Forget(true);
    }
};

// What the driver had been told when the scan of each event began (by its Value3), and on which
// thread the scan ran.
struct ScanMoment {
    std::set<std::uint64_t> replied;  // MessageIds
    DWORD thread_id = 0;
};
constexpr std::uint32_t kMomentEvents = 10;
ScanMoment g_moments[kMomentEvents];

std::int32_t ScanRecordingReplies(const ScanCall& scan) {
    ScanMoment& moment = g_moments[scan.value3 % kMomentEvents];
    moment.thread_id = ::GetCurrentThreadId();
    for (const SimTraffic& reply : Traffic(SIM_TRAFFIC_REPLY)) {
        moment.replied.insert(As<ScanReply>(reply).MessageId);
    }
    return kHostVerdict;
}

// Each event is acknowledged before its file is examined, by the thread that examines it, and gets
// one verdict carrying its own 64-bit id; the host gets the event's values unchanged.
TEST_F(ClientTest, EventIsAcknowledgedBeforeItsScanAndAnsweredOnceWithItsIds) {
    Host().answer = ScanRecordingReplies;
    Start();
    constexpr std::uint64_t kFirstEventId = 0x1122334455667700ULL;
    const std::wstring file = folder_.Download(L"download.exe");
    std::map<std::uint64_t, std::uint32_t> event_of_message;  // by the event's Value3
    for (std::uint32_t i = 0; i < kMomentEvents; ++i) {
        event_of_message[PostFileEvent(file, kFirstEventId + i, i)] = i;
    }
    ASSERT_TRUE(SimWaitForTraffic(kMomentEvents, 1 + kMomentEvents, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(kMomentEvents));

    std::map<std::uint64_t, ScanCommand> verdict_of_event;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(verdict_of_event.emplace(verdict.EventId, verdict).second) << "two verdicts for one event";
    }
    const std::vector<SimTraffic> replies = Traffic(SIM_TRAFFIC_REPLY);
    ASSERT_EQ(replies.size(), kMomentEvents);
    for (const SimTraffic& record : replies) {
        EXPECT_EQ(record.Length, sizeof(ScanReply));
        const auto reply = As<ScanReply>(record);
        EXPECT_EQ(reply.Status, 0);
        const std::uint32_t event = event_of_message.at(reply.MessageId);
        EXPECT_EQ(g_moments[event].replied.count(reply.MessageId), 1u) << "scanned before its reply";
        EXPECT_EQ(reply.ThreadId, g_moments[event].thread_id);
        EXPECT_EQ(verdict_of_event.at(kFirstEventId + event).ThreadId, g_moments[event].thread_id);
        EXPECT_EQ(verdict_of_event.at(kFirstEventId + event).Verdict, kHostVerdict);
    }
    for (const ScanCall& scan : Host().Scans()) {
        EXPECT_EQ(scan.value1, kEventValue1);
        EXPECT_EQ(scan.value2, kEventValue2);
        EXPECT_EQ(scan.reserved, 0u);
    }
}

// Messages that are no whole file event, each on a buffer that held a whole event before: a name cut
// before its NUL is exactly what arrived, not what an earlier, longer name left; a name that fills
// its whole array ends with it, not in the body's padding after it. A message that ends inside the
// fixed fields gets no reply and no verdict; one that ends before the name gets verdict 2 unexamined;
// notifications of other kinds get no reply, no callback and no command. None of them keeps its
// buffer out of circulation, also when the driver answers receives at once, without a wait.
TEST_F(ClientTest, MessagesThatAreNoWholeFileEventNeverReadWhatAnEarlierOneLeft) {
    SimImmediateReceives(1000);
    Start();
    folder_.Download(L"abvictim.exe");  // what an earlier, longer name would leave of "ab"
    const std::wstring cut = folder_.Download(L"ab");
    FillBuffers((folder_.path / L"XYvictim.exe").wstring(), 2, 0);
    Post(MakeFileEvent(cut, 900), kFixedBody + static_cast<std::uint32_t>(cut.size() * sizeof(WireChar)));
    ASSERT_TRUE(Host().WaitForResults(1));
    ASSERT_EQ(Host().Scans().size(), 1u);
    EXPECT_EQ(Host().Scans()[0].file_name, cut);
    const auto whole = std::make_unique<ScanNotification>(MakeFileEvent(std::wstring(), 7));
    std::fill_n(whole->FileName, kFileNameUnits, L'A');
    whole->Padding = 0x00420042;  // "BB", were it read as units of the name
    Post(*whole, sizeof(ScanNotification));
    ASSERT_TRUE(SimWaitForTraffic(2, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(1).EventId, 7u);
    EXPECT_EQ(Verdicts().at(1).Verdict, 2);
    ASSERT_TRUE(Host().WaitUntil([] { return Host().log.size() == 3; }));  // one line for "ab", two for it
    EXPECT_EQ(Host().Log().at(1), NewEvent(std::wstring(kFileNameUnits, L'A')));
    Host().Forget(true);

    const std::wstring file = folder_.Download(L"download.exe");
    FillBuffers(file, 1, 1);
    const std::uint32_t lengths[] = {0, 4, 16, kFixedBody - 1, kFixedBody, kFixedBody + 1};
    std::uint32_t answerable = kScanThreadCount;
    for (std::uint32_t i = 0; i < 2 * kScanThreadCount; ++i) {
        Post(MakeFileEvent(file, 300 + i), lengths[i % 6]);
        answerable += lengths[i % 6] >= kFixedBody ? 1 : 0;
    }
    const std::uint32_t other_kinds[] = {1, 2, 0xFFFFFFFFu};
    for (std::uint32_t i = 0; i < 3 * kScanThreadCount; ++i) {
        const ScanNotification notification = MakeFileEvent(file, 0x1000 + i, other_kinds[i % 3]);
        ASSERT_EQ(SimPostNotification(&notification, sizeof(notification), 0, nullptr, kWaitMs), S_OK);
    }
    for (std::uint32_t i = 0; i < kScanThreadCount; ++i) {
        PostFileEvent(file, 700 + i);
    }
    ASSERT_TRUE(SimWaitForTraffic(answerable, answerable, kWaitMs));
    ASSERT_TRUE(Host().WaitForResults(kScanThreadCount));

    EXPECT_EQ(AnsweredOnce().size(), answerable);
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_LT(verdict.EventId, 0x1000u) << "a notification of another kind got a verdict";
        if (verdict.EventId < 700) {
            EXPECT_GE(lengths[(verdict.EventId - 300) % 6], kFixedBody) << verdict.EventId;
            EXPECT_EQ(verdict.Verdict, 2);
        } else {
            EXPECT_EQ(verdict.Verdict, kHostVerdict);
        }
    }
    EXPECT_EQ(SimTrafficCount(SIM_TRAFFIC_REPLY), answerable);
    EXPECT_EQ(Host().Scans().size(), kScanThreadCount);
}

// A configuration text without a NUL reaches the driver cut to 1023 units and terminated; one the
// driver refuses does not stop the start, and SetDriverConfiguration tells the driver's answer.
TEST_F(ClientTest, ConfigurationReachesTheDriverWholeAndARefusalIsTold) {
    DriverConfig config = MakeConfig();
    for (std::uint32_t i = 0; i < 1024; ++i) {
        config.ConfigText[i] = static_cast<wchar_t>(L'A' + i % 26);
    }
    config.ConfigValue1 = 0xDEADBEEFu;
    SimFailCommands(E_ACCESSDENIED, 1);
    ASSERT_EQ(FilterInit(&config, nullptr, nullptr, nullptr), S_OK);
    ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    const ScanCommand sent = As<ScanCommand>(Traffic(SIM_TRAFFIC_COMMAND).at(0));
    EXPECT_EQ(sent.Command, static_cast<std::uint32_t>(CommandConfiguration));
    EXPECT_EQ(std::wstring(sent.ConfigText, 1023), std::wstring(config.ConfigText, 1023));
    EXPECT_EQ(sent.ConfigText[1023], 0);
    EXPECT_EQ(sent.ConfigValue1, 0xDEADBEEFu);
    EXPECT_EQ(sent.ConfigValue2, kConfigValue2);

    EXPECT_EQ(SetDriverConfiguration(L"accepted", 3, 4), 1);
    const ScanCommand accepted = As<ScanCommand>(Traffic(SIM_TRAFFIC_COMMAND).back());
    EXPECT_EQ(std::wstring(accepted.ConfigText), L"accepted");
    EXPECT_EQ(accepted.ConfigValue1, 3u);
    EXPECT_EQ(accepted.ConfigValue2, 4u);
    SimFailCommands(E_ACCESSDENIED, 1);
    EXPECT_EQ(SetDriverConfiguration(L"refused", 1, 2), 0);
}

// While the library runs a second start is refused and changes nothing; without a driver, or with
// one refusing the connection, a start fails and leaves nothing to stop.
TEST_F(ClientTest, StartIsRefusedWhileRunningAndFailsWithoutADriver) {
    Start();
    const DriverConfig config = MakeConfig();
    EXPECT_EQ(FilterInit(&config, nullptr, nullptr, nullptr), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(Examine(folder_.Download(L"download.exe")).Verdict, kHostVerdict);  // the first start's callbacks
    EXPECT_EQ(SimConnectionCount(), 1u);
    ASSERT_EQ(ClientDisconnect(), S_OK);

    SimClosePort();
    EXPECT_EQ(FilterInit(&config, HostScan, HostResult, HostLog), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ClientDisconnect(), E_POINTER);
    EXPECT_EQ(SetDriverConfiguration(L"x", 0, 0), 0);
    SimFailConnect(E_ACCESSDENIED, 1);
    ASSERT_EQ(SimCreatePort(), S_OK);
    EXPECT_EQ(FilterInit(&config, HostScan, HostResult, HostLog), E_ACCESSDENIED);
    EXPECT_EQ(ClientDisconnect(), E_POINTER);
}

// The file carries its version in its resource; VarnokDeleteFile needs no connection.
TEST_F(ClientTest, VersionResourceAndDeleteFile) {
    wchar_t path[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"varnokclient.dll"), path, MAX_PATH), 0u);
    std::vector<std::byte> block(::GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(::GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000087u);
    for (const wchar_t* key :
         {L"\\StringFileInfo\\040904B0\\FileVersion", L"\\StringFileInfo\\040904B0\\ProductVersion"}) {
        wchar_t* text = nullptr;
        ASSERT_TRUE(::VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&text), &size)) << key;
        EXPECT_EQ(std::wstring(text), L"2.0.0.135");
    }

    const std::wstring file = folder_.File(L"delete-me.txt");
    EXPECT_NE(VarnokDeleteFile(file.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(VarnokDeleteFile(file.c_str()), 0);
}

// Each start of the library makes a new key for its records: a file found clean in the last run is
// scanned once more, then its events are spared again.
TEST_F(ClientTest, RestartScansACleanFileOnceThenSparesItAgain) {
    VARNOK_REQUIRE_NTFS_VOLUME();
    const std::wstring file = folder_.Download(L"clean.exe");
    Host().verdict = kVerdictNoScan;
    for (std::size_t run = 0; run < 2; ++run) {
        Start();
        for (const std::size_t scans : {run + 1, run + 1}) {
            EXPECT_EQ(Examine(file).Verdict, kVerdictNoScan);
            EXPECT_EQ(Host().Scans().size(), scans) << run;
        }
        ASSERT_EQ(ClientDisconnect(), S_OK);
    }
}

// A host that reloads its components: loading and unloading the DLL gives back what loading took.
TEST(DllUnload, LoadAndUnloadRoundsLeaveTheHeapsLevel) {
    // A copy under a name of its own: the copy this test links stays loaded and would keep every
    // round from unloading anything.
    wchar_t loaded[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"varnokclient.dll"), loaded, MAX_PATH), 0u);
    const TempFolder folder;
    const std::filesystem::path copy = folder.path / L"varnokclient-reloaded.dll";
    std::filesystem::copy_file(loaded, copy);

    std::uint64_t heap_after_warm_up = 0;
    for (int round = 0; round < 200; ++round) {
        const HMODULE library = ::LoadLibraryW(copy.c_str());
        ASSERT_NE(library, nullptr) << round;
        ASSERT_NE(::GetProcAddress(library, "FilterInit"), nullptr);
        ASSERT_TRUE(::FreeLibrary(library));
        ASSERT_EQ(::GetModuleHandleW(copy.c_str()), nullptr) << "the copy stayed loaded";
        if (round == 19) {
            heap_after_warm_up = usage::HeapBytesInUse();
        }
    }
    // A round that kept the C++ runtime's emergency pool (some 73 KB) would add 13 MB here.
    EXPECT_LT(usage::HeapBytesInUse(), heap_after_warm_up + 64 * 1024);
}

}  // namespace
}  // namespace varnok::test
