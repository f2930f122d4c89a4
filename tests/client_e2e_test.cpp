// The real exports of varnokclient.dll against the driver simulator: the port, the lifecycle, the unload.
#include <map>
#include <memory>

#include "tests/support/driver_harness.h"
#include "verdicts.h"

namespace varnok::test {
namespace {

constexpr std::uint32_t kFixedBody = offsetof(ScanNotification, FileName);  // a notification's bytes before its name

using ClientTest = SimulatedDriverTest;

// Which replies the driver had when the scan of each event (by its Value3) began, and on which thread.
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

// Each event is acknowledged by the thread that examines it before it does, and answered once by id.
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

    EXPECT_EQ(AnsweredOnce().size(), kMomentEvents);
    for (const ScanCommand& verdict : Verdicts()) {
        ASSERT_LT(verdict.EventId - kFirstEventId, kMomentEvents);
        EXPECT_EQ(verdict.ThreadId, g_moments[verdict.EventId - kFirstEventId].thread_id);
        EXPECT_EQ(verdict.Verdict, kHostVerdict);
    }
    const std::vector<SimTraffic> replies = Traffic(SIM_TRAFFIC_REPLY);
    ASSERT_EQ(replies.size(), kMomentEvents);
    for (const SimTraffic& record : replies) {
        const auto reply = As<ScanReply>(record);
        const ScanMoment& moment = g_moments[event_of_message.at(reply.MessageId)];
        EXPECT_EQ(record.Length, sizeof(ScanReply));
        EXPECT_EQ(reply.Status, 0);
        EXPECT_EQ(reply.ThreadId, moment.thread_id);
        EXPECT_EQ(moment.replied.count(reply.MessageId), 1u) << "scanned before its reply";
    }
    for (const ScanCall& scan : Host().Scans()) {
        EXPECT_EQ(scan.reserved, 0u);
    }
}

// Messages that are no whole file event, on used buffers: a cut name is what arrived, one filling its
// array ends there; cut in the fixed fields: nothing, before the name: verdict 2; other kinds: nothing.
TEST_F(ClientTest, MessagesThatAreNoWholeFileEventNeverReadWhatAnEarlierOneLeft) {
    const auto post = [](const ScanNotification& notification, std::uint32_t length) {
        EXPECT_EQ(SimPostNotification(&notification, length, sizeof(ScanReply), nullptr, kWaitMs), S_OK);
    };
    // Events for `path` through every buffer twice, so that later short messages land on its leftovers.
    const auto fill_buffers = [&](const std::wstring& path, std::size_t lines_per_event,
                                  std::size_t results_per_event) {
        const std::size_t events = 2 * kScanThreadCount;
        for (std::size_t i = 0; i < events; ++i) {
            Examine(path);
        }
        ASSERT_TRUE(Host().WaitUntil([&] {
            return Host().log.size() == events * lines_per_event && Host().results.size() == events * results_per_event;
        }));
        SimResetTraffic();
        Host().Forget(true);
    };
    SimImmediateReceives(1000);
    Start();
    folder_.Download(L"abvictim.exe");  // what an earlier, longer name would leave of "ab"
    const std::wstring cut = folder_.Download(L"ab");
    fill_buffers((folder_.path / L"XYvictim.exe").wstring(), 2, 0);
    post(MakeFileEvent(cut, 900), kFixedBody + static_cast<std::uint32_t>(cut.size() * sizeof(WireChar)));
    ASSERT_TRUE(Host().WaitForResults(1));
    ASSERT_EQ(Host().Scans().size(), 1u);
    EXPECT_EQ(Host().Scans()[0].file_name, cut);
    const auto whole = std::make_unique<ScanNotification>(MakeFileEvent(std::wstring(), 7));
    std::fill_n(whole->FileName, kFileNameUnits, L'A');
    whole->Padding = 0x00420042;  // "BB", were it read as units of the name
    post(*whole, sizeof(ScanNotification));
    ASSERT_TRUE(SimWaitForTraffic(2, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(1).EventId, 7u);
    EXPECT_EQ(Verdicts().at(1).Verdict, 2);
    ASSERT_TRUE(Host().WaitUntil([] { return Host().log.size() == 3; }));  // one line for "ab", two for it
    EXPECT_EQ(Host().Log().at(1), NewEvent(std::wstring(kFileNameUnits, L'A')));
    Host().Forget(true);

    const std::wstring file = folder_.Download(L"download.exe");
    fill_buffers(file, 1, 1);
    const std::uint32_t lengths[] = {0, 4, 16, kFixedBody - 1, kFixedBody, kFixedBody + 1};
    std::uint32_t answerable = kScanThreadCount;
    for (std::uint32_t i = 0; i < 2 * kScanThreadCount; ++i) {
        post(MakeFileEvent(file, 300 + i), lengths[i % 6]);
        answerable += lengths[i % 6] >= kFixedBody ? 1 : 0;
    }
    const std::uint32_t other_kinds[] = {1, 2, 0xFFFFFFFFu};
    for (std::uint32_t i = 0; i < 3 * kScanThreadCount; ++i) {
        const ScanNotification notification = MakeFileEvent(file, 0x1000 + i, kEventValue3, other_kinds[i % 3]);
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

// A text without a NUL reaches the driver cut to 1023 units; a refusal is told, and stops no start. A
// second start is refused; one without a driver, or refused by it, fails and leaves nothing to stop.
TEST_F(ClientTest, ConfigurationReachesTheDriverAndStartsAreRefusedAsTheyShouldBe) {
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

    EXPECT_EQ(FilterInit(&config, HostScan, HostResult, HostLog), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(Examine(folder_.Download(L"download.exe")).Verdict, kVerdictNoScan);  // still no scan callback
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

// The DLL carries its version in its resource; VarnokDeleteFile needs no connection; loading and
// unloading a copy of the DLL, as a host reloading its components, leaves the heaps level.
TEST_F(ClientTest, VersionResourceDeleteFileAndUnload) {
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

    const std::filesystem::path copy = folder_.path / L"varnokclient-reloaded.dll";
    std::filesystem::copy_file(path, copy);

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
    EXPECT_LT(usage::HeapBytesInUse(), heap_after_warm_up + 64 * 1024);  // a kept 73 KB pool adds 13 MB
}

// Each start makes a new key for the records: a file clean in the last run is scanned once more.
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

}  // namespace
}  // namespace varnok::test
