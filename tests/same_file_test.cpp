// Events under load through the exports: one file's run side by side, stops with events in flight.
#include <map>
#include <thread>

#include "tests/support/driver_harness.h"

namespace varnok::test {
namespace {

using SameFileTest = SimulatedDriverTest;

// Slow scans of one file run side by side, each verdict its own, the record the last one's; a stop with
// every worker scanning it waits for one scan.
TEST_F(SameFileTest, SlowScansOfOneFileRunSideBySideAndAStopWaitsForOneScan) {
    VARNOK_REQUIRE_NTFS_VOLUME();
    Start();
    const std::wstring slow = folder_.Download(L"slow.exe");
    HoldScansOf(slow);
    constexpr std::uint32_t kEvents = kScanThreadCount - 1;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        PostFileEvent(slow, 100 + i, i);
    }
    ASSERT_TRUE(WaitForSlowScans(kEvents));
    PostFileEvent(folder_.Download(L"other.exe"), 7, 77);
    ASSERT_TRUE(SimWaitForTraffic(0, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(0).EventId, 7u);
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ReleaseSlowScans(i + 1);
        ASSERT_TRUE(Host().WaitForResults(2 + i));
        EXPECT_EQ(UnsealedRecordOf(slow), Record(kDownloadHost, kSlowVerdictBase + static_cast<std::int32_t>(i), slow));
    }

    std::thread poster([&] {
        for (std::uint32_t i = 100; i < 100 + 2 * kScanThreadCount; ++i) {
            const ScanNotification notification = MakeFileEvent(slow, 100 + i, i);  // those not taken time out
            SimPostNotification(&notification, sizeof(notification), sizeof(ScanReply), nullptr, kWaitMs);
        }
    });
    EXPECT_TRUE(WaitForSlowScans(kScanThreadCount));
    std::thread stopper([] { EXPECT_EQ(ClientDisconnect(), S_OK); });
    ReleaseSlowScans();
    stopper.join();
    poster.join();
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_EQ(verdict.Verdict,
                  kSlowVerdictBase + (verdict.EventId == 7 ? 77 : static_cast<std::int32_t>(verdict.EventId) - 100));
    }
    EXPECT_GE(AnsweredOnce().size(), 1 + kEvents + kScanThreadCount);
}

// A result callback that waits for a later event of its file, as a removal the driver holds.
TEST_F(SameFileTest, ResultCallbackWaitingForAnotherEventOfItsFileDoesNotDeadlock) {
    static std::atomic<bool> second_answered{false};
    second_answered = false;
    Host().answer = ScanSlowly;
    Start([](const wchar_t* path, std::int32_t verdict) {
        if (verdict == kSlowVerdictBase + 1) {
            PostFileEvent(path, 2, 2);
            second_answered = SimWaitForTraffic(0, 3, kWaitMs) != FALSE;
        }
        HostResult(path, verdict);
    });
    PostFileEvent(folder_.Download(L"removed.exe"), 1, 1);
    ASSERT_TRUE(Host().WaitForResults(2));
    EXPECT_TRUE(second_answered);
}

// The lock is the file's, not its name's: four spellings leave one whole record, and log lines whole.
TEST_F(SameFileTest, SpellingsOfOneFileShareTheLockAndLeaveOneWholeRecord) {
    VARNOK_REQUIRE_NTFS_VOLUME();
    Host().answer = ScanSlowly;
    Start();
    const std::wstring file = folder_.Download(L"spelled.exe");
    std::string notes;
    for (int line = 0; notes.size() < 400 * 1024; ++line) {
        notes += "Note" + std::to_string(line) + "=" + std::string(90, static_cast<char>('a' + line % 26)) + "\r\n";
    }
    WriteStream(file, kRecordStream, notes + Line(kHostUrl, Narrow(kDownloadHost)));
    std::vector<std::wstring> spellings{file, file, L"\\\\?\\" + file, file};
    std::replace(spellings[1].begin(), spellings[1].end(), L'\\', L'/');
    std::transform(file.begin(), file.end(), spellings[3].begin(), [](wchar_t c) { return std::towupper(c); });

    constexpr std::uint32_t kEvents = 200;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        PostFileEvent(spellings[i % spellings.size()], i + 1, i);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, 1 + kEvents, 120000));
    EXPECT_EQ(AnsweredOnce().size(), kEvents);
    for (const ScanCommand& verdict : Verdicts()) {
        // On the NTFS volume the streams are not found under the upper-case spelling: verdict 2.
        const std::int32_t own = kSlowVerdictBase + static_cast<std::int32_t>(verdict.EventId) - 1;
        EXPECT_TRUE(verdict.Verdict == own || (verdict.EventId % 4 == 0 && verdict.Verdict == 2)) << verdict.EventId;
    }
    ASSERT_EQ(ClientDisconnect(), S_OK);  // every line is in once the workers have ended
    std::set<std::wstring> forms;
    for (const std::wstring& spelling : spellings) {
        forms.insert(L"NEW EVENT -----  for " + spelling);
        forms.insert(L"File has no Zone.Identifier nor SmartScan. " + spelling);
    }
    EXPECT_GE(Host().Log().size(), kEvents);
    for (const LogLine& line : Host().Log()) {
        EXPECT_EQ(line.level, VARNOK_LOG_INFO);
        EXPECT_EQ(forms.count(line.text), 1u) << Narrow(line.text);
    }

    const std::string record = RecordOf(file).value_or("");
    ASSERT_EQ(record.rfind(notes, 0), 0u);
    const std::string tail = WithoutSeal(record.substr(notes.size()));
    bool one_events_own = false;  // the result and the name of one event, whole
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        one_events_own |= tail == Record(kDownloadHost, kSlowVerdictBase + static_cast<std::int32_t>(i),
                                         spellings[i % spellings.size()]);
    }
    EXPECT_TRUE(one_events_own) << tail;
}

// Start, a burst, stop, 200 times: each acknowledged event answered once, handles and heaps level.
TEST_F(SameFileTest, ShutDownWhileEventsAreInFlight) {
    const std::wstring download = folder_.Download(L"download.exe");
    const std::wstring plain = folder_.File(L"plain.txt");
    std::uint64_t heap_after_warm_up = 0;
    std::uintptr_t handles_after_warm_up = 0;
    std::uint64_t next_event = 1;
    std::vector<std::chrono::steady_clock::duration> cycle_times;
    for (int cycle = 0; cycle < 200; ++cycle) {
        SimResetTraffic();
        Host().Forget(true);
        const auto start = std::chrono::steady_clock::now();
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, HostScan, HostResult, nullptr), S_OK) << cycle;
        std::map<std::uint64_t, std::uint64_t> event_of_message;
        for (int i = 0; i < 30; ++i) {
            event_of_message[PostFileEvent(i % 3 == 0 ? download : plain, next_event)] = next_event;
            ++next_event;
        }
        ASSERT_EQ(ClientDisconnect(), S_OK) << cycle;
        cycle_times.push_back(std::chrono::steady_clock::now() - start);

        std::multiset<std::uint64_t> acknowledged;
        for (const SimTraffic& reply : Traffic(SIM_TRAFFIC_REPLY)) {
            if (reply.Result == S_OK) {
                acknowledged.insert(event_of_message.at(As<ScanReply>(reply).MessageId));
            }
        }
        std::multiset<std::uint64_t> answered;
        for (const ScanCommand& verdict : Verdicts()) {
            answered.insert(verdict.EventId);
        }
        ASSERT_EQ(answered, acknowledged) << cycle;
        if (cycle == 19) {
            heap_after_warm_up = usage::HeapBytesInUse();
            handles_after_warm_up = usage::HandleSlot();
        }
    }
    EXPECT_LE(usage::HandleSlot(), handles_after_warm_up);
    EXPECT_LT(usage::HeapBytesInUse(), heap_after_warm_up + 256 * 1024);
    std::nth_element(cycle_times.begin(), cycle_times.begin() + 100, cycle_times.end());
    EXPECT_LT(cycle_times[100], std::chrono::seconds(2));  // the median, for a loaded machine's stalls
}

}  // namespace
}  // namespace varnok::test
