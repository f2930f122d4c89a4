// Events under load, through the library's exports: events of one file run side by side and leave
// one whole "varnok" record whatever spelling of the path each carries, and stops with events in
// flight answer each acknowledged event once and leak nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "support/client_fixture.h"
#include "tools/common/process_usage.h"

namespace varnok::test {
namespace {

// Each scan answers kVerdictBase + the event's Value3; scans of the slow file wait to be released.
constexpr std::int32_t kVerdictBase = 1000;

struct SlowScanner {
    std::mutex mutex;
    std::condition_variable changed;
    std::wstring slow_file;
    std::set<std::uint32_t> released;
    bool release_all = false;
    std::size_t waiting = 0;
};

SlowScanner& Scanner() {
    static SlowScanner scanner;
    return scanner;
}

std::int32_t ScanSlowly(FileInfo file_info, std::uint32_t /*value2*/, std::uint32_t /*value1*/) {
    SlowScanner& scanner = Scanner();
    std::unique_lock<std::mutex> lock(scanner.mutex);
    if (file_info.FileName == scanner.slow_file) {
        ++scanner.waiting;
        scanner.changed.notify_all();
        scanner.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                 [&] { return scanner.release_all || scanner.released.count(file_info.Value3) != 0; });
        --scanner.waiting;
    }
    return kVerdictBase + static_cast<std::int32_t>(file_info.Value3);
}

HRESULT PostEvent(const std::wstring& path, std::uint64_t event_id, std::uint32_t tag) {
    ScanNotification notification = MakeFileEvent(path, event_id);
    notification.Value3 = tag;
    return SimPostNotification(&notification, sizeof(notification), sizeof(ScanReply), nullptr, kWaitMs);
}

template <class Change>
void ChangeScanner(Change change) {
    const std::lock_guard<std::mutex> lock(Scanner().mutex);
    change(Scanner());
    Scanner().changed.notify_all();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class SameFileTest : public SimulatedDriverTest {
protected:
    void SetUp() override {
        SimulatedDriverTest::SetUp();
        ChangeScanner([](SlowScanner& scanner) {
            scanner.slow_file.clear();
            scanner.released.clear();
            scanner.release_all = false;
        });
    }
    void TearDown() override {
        ChangeScanner([](SlowScanner& scanner) { scanner.release_all = true; });
        SimulatedDriverTest::TearDown();
    }
};

TEST_F(SameFileTest, SlowScansOfOneFileRunSideBySideAndOtherFilesGoOn) {
    StartClient(ScanSlowly, RecordResult, nullptr);
    const std::wstring slow = Download(L"slow.exe");
    ChangeScanner([&](SlowScanner& scanner) { scanner.slow_file = slow; });
    constexpr std::uint32_t kEvents = kScanThreadCountForTests - 1;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(slow, 100 + i, i), S_OK);
    }
    {
        std::unique_lock<std::mutex> lock(Scanner().mutex);
        ASSERT_TRUE(Scanner().changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                               [] { return Scanner().waiting == kEvents; }));
    }
    ASSERT_EQ(PostEvent(Download(L"other.exe"), 7, 77), S_OK);
    ASSERT_TRUE(SimWaitForTraffic(0, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(0).EventId, 7u);

    // Released one at a time: the stored result is the last one's, and each event gets its own.
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ChangeScanner([&](SlowScanner& scanner) { scanner.released.insert(i); });
        ASSERT_TRUE(Host().WaitForResults(2 + i));
        EXPECT_EQ(ReadStream(slow, L"varnok"), "HostUrl=https://downloads.example/tool.exe\r\nScanResult=" +
                                                   std::to_string(kVerdictBase + static_cast<std::int32_t>(i)) +
                                                   "\r\nFileName=" + Narrow(slow) + "\r\n");
    }
    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(answered.insert(verdict.EventId).second);
        EXPECT_EQ(verdict.Verdict,
                  kVerdictBase + (verdict.EventId == 7 ? 77 : static_cast<std::int32_t>(verdict.EventId) - 100));
    }
    EXPECT_EQ(answered.size(), kEvents + 1);
}

// A stop while every worker scans the one slow file and as many events again wait behind them: the
// scans run side by side, so the stop waits for one scan's time, not one per event.
TEST_F(SameFileTest, DisconnectWithManyEventsQueuedForOneSlowFileWaitsForOneScan) {
    StartClient(ScanSlowly, RecordResult, nullptr);
    const std::wstring slow = Download(L"slow.exe");
    ChangeScanner([&](SlowScanner& scanner) { scanner.slow_file = slow; });
    std::thread poster([&] {
        for (std::uint32_t i = 0; i < 2 * kScanThreadCountForTests; ++i) {
            PostEvent(slow, 100 + i, i);  // those the library never takes time out when it stops
        }
    });
    {
        std::unique_lock<std::mutex> lock(Scanner().mutex);
        ASSERT_TRUE(Scanner().changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                               [] { return Scanner().waiting == kScanThreadCountForTests; }));
    }
    std::thread stopper([] { EXPECT_EQ(ClientDisconnect(), S_OK); });
    ChangeScanner([](SlowScanner& scanner) { scanner.release_all = true; });
    stopper.join();
    poster.join();
    const std::vector<ScanCommand> verdicts = Verdicts();
    EXPECT_GE(verdicts.size(), kScanThreadCountForTests);
    for (const ScanCommand& verdict : verdicts) {
        EXPECT_EQ(verdict.Verdict, kVerdictBase + static_cast<std::int32_t>(verdict.EventId - 100));
    }
}

// A result callback that waits for a later event of its file, as a removal the driver holds.
TEST_F(SameFileTest, ResultCallbackWaitingForAnotherEventOfItsFileDoesNotDeadlock) {
    static std::atomic<bool> second_answered{false};
    second_answered = false;
    StartClient(
        ScanSlowly,
        [](const wchar_t* path, std::int32_t verdict) {
            if (verdict == kVerdictBase + 1) {
                EXPECT_EQ(PostEvent(path, 2, 2), S_OK);
                second_answered = SimWaitForTraffic(0, 3, kWaitMs) != FALSE;
            }
            RecordResult(path, verdict);
        },
        nullptr);
    ASSERT_EQ(PostEvent(Download(L"removed.exe"), 1, 1), S_OK);
    ASSERT_TRUE(Host().WaitForResults(2));
    EXPECT_TRUE(second_answered);
}

// The byte-range lock belongs to the file, not to its name: many events, under four spellings, of a
// file whose record is large leave it whole, each event answered once with its own scan's verdict.
TEST_F(SameFileTest, SpellingsOfOneFileShareTheLockAndLeaveOneWholeRecord) {
    StartClient(ScanSlowly, RecordResult, nullptr);
    const std::wstring file = Download(L"spelled.exe");
    std::string notes;
    for (int line = 0; notes.size() < 400 * 1024; ++line) {
        notes += "Note" + std::to_string(line) + "=" + std::string(90, static_cast<char>('a' + line % 26)) + "\r\n";
    }
    WriteStream(file, L"varnok", notes + "HostUrl=https://downloads.example/tool.exe\r\n");
    std::wstring slashes = file;
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    std::wstring upper = file;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    const std::vector<std::wstring> spellings{file, slashes, L"\\\\?\\" + file, upper};

    constexpr std::uint32_t kEvents = 200;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(spellings[i % spellings.size()], i + 1, i), S_OK);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, 1 + kEvents, 120000));
    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(answered.insert(verdict.EventId).second) << verdict.EventId;
        // On the NTFS volume the streams are not found under the upper-case spelling: verdict 2.
        const std::int32_t own = kVerdictBase + static_cast<std::int32_t>(verdict.EventId) - 1;
        EXPECT_TRUE(verdict.Verdict == own || (verdict.EventId % 4 == 0 && verdict.Verdict == 2)) << verdict.EventId;
    }
    EXPECT_EQ(answered.size(), kEvents);

    const std::string varnok = ReadStream(file, L"varnok").value_or("");
    ASSERT_EQ(varnok.rfind(notes, 0), 0u);
    const std::string tail = varnok.substr(notes.size());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        tail, match,
        std::regex("HostUrl=https://downloads\\.example/tool\\.exe\r\nScanResult=(\\d+)\r\nFileName=([^\r\n]*)\r\n")))
        << tail;
    EXPECT_LT(std::stoi(match[1]), kVerdictBase + static_cast<int>(kEvents));
    EXPECT_NE(std::find_if(spellings.begin(), spellings.end(),
                           [&](const std::wstring& spelling) { return Narrow(spelling) == match[2].str(); }),
              spellings.end())
        << tail;
}

// Start, a burst of events, stop, 200 times: every event the library acknowledged got exactly one
// verdict and no other did; handles and heaps stay level after a warm-up.
TEST_F(SameFileTest, ShutDownWhileEventsAreInFlight) {
    const std::wstring download = Download(L"download.exe");
    const std::wstring plain = folder.File(L"plain.txt");
    std::uint64_t heap_after_warm_up = 0;
    std::uintptr_t handles_after_warm_up = 0;
    std::uint64_t next_event = 1;
    std::vector<std::chrono::steady_clock::duration> cycle_times;
    for (int cycle = 0; cycle < 200; ++cycle) {
        SimResetTraffic();
        Host().Reset();
        const auto start = std::chrono::steady_clock::now();
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, RecordScan, RecordResult, nullptr), S_OK) << cycle;
        std::map<std::uint64_t, std::uint64_t> event_of_message;
        for (int i = 0; i < 30; ++i) {
            std::uint64_t message_id = 0;
            const ScanNotification notification = MakeFileEvent(i % 3 == 0 ? download : plain, next_event);
            ASSERT_EQ(SimPostNotification(&notification, sizeof(notification), sizeof(ScanReply), &message_id, kWaitMs),
                      S_OK);
            event_of_message[message_id] = next_event++;
        }
        ASSERT_EQ(ClientDisconnect(), S_OK) << cycle;
        cycle_times.push_back(std::chrono::steady_clock::now() - start);

        std::multiset<std::uint64_t> acknowledged;
        for (const SimTraffic& reply : Traffic(SIM_TRAFFIC_REPLY)) {
            if (reply.Result == S_OK) {
                acknowledged.insert(event_of_message.at(AsReply(reply).MessageId));
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
    // A start and stop with a burst in flight takes milliseconds; the median, not every cycle, is
    // bounded, so a loaded machine's stalls don't fail it while a stop that waits for traffic does.
    std::nth_element(cycle_times.begin(), cycle_times.begin() + 100, cycle_times.end());
    EXPECT_LT(cycle_times[100], std::chrono::seconds(2));
}

// Log lines of every kind, written by 25 workers at once, each keep one exact form.
TEST_F(SameFileTest, ConcurrentLogLinesKeepTheirExactForms) {
    std::set<std::wstring> paths;
    std::vector<std::wstring> files;
    for (int i = 0; i < 5; ++i) {
        const std::wstring index = std::to_wstring(i);
        files.push_back(Download(L"download" + index + L".exe"));
        files.push_back(folder.File(L"malformed" + index + L".exe"));
        WriteStream(files.back(), L"Zone.Identifier", "ZoneId=internet\r\n");
        files.push_back(folder.File(L"plain" + index + L".txt"));
        files.push_back(Download(L"old" + index + L".exe"));
        AgeFile(files.back(), std::chrono::hours(48));
        files.push_back((folder.path / (L"missing" + index + L".exe")).wstring());
    }
    paths.insert(files.begin(), files.end());
    StartClient(RecordScan, RecordResult, RecordLog);
    SimFailCommands(E_ACCESSDENIED, 25);  // some verdicts go undelivered
    constexpr std::uint32_t kEvents = 500;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(files[i % files.size()], i + 1, i), S_OK);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, 1 + kEvents, 120000));
    ASSERT_EQ(ClientDisconnect(), S_OK);  // every line is in once the workers have ended

    const auto with_path = [&](const std::wstring& text, const std::wstring& prefix, const std::wstring& suffix) {
        return text.size() >= prefix.size() + suffix.size() && text.rfind(prefix, 0) == 0 &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0 &&
               paths.count(text.substr(prefix.size(), text.size() - prefix.size() - suffix.size())) == 1;
    };
    const std::set<std::wstring> warnings = {L" Could not open file.", L"Malformed Zone.Identifier - force scan.",
                                             L"could not reach kernel driver"};
    std::size_t odd = 0;
    for (const LogLine& line : Host().LogLines()) {
        const bool known = line.level == VARNOK_LOG_INFO
                               ? with_path(line.text, L"NEW EVENT -----  for ", L"") ||
                                     with_path(line.text, L"File has no Zone.Identifier nor SmartScan. ", L"") ||
                                     with_path(line.text, L"", L" Could not open file.") ||
                                     with_path(line.text, L"", L" file is old")
                               : line.level == VARNOK_LOG_WARN && warnings.count(line.text) == 1;
        if (!known && odd++ < 5) {
            ADD_FAILURE() << line.level << ": '" << std::string(line.text.begin(), line.text.end()) << "'";
        }
    }
    EXPECT_EQ(odd, 0u);
}

}  // namespace
}  // namespace varnok::test
