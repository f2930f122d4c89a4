// Events for one file, through the library's exports: their scans run side by side, and every
// update of the file's "varnok" stream is whole, whatever spelling of the path each event carries.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "support/client_fixture.h"

namespace varnok::test {
namespace {

const std::string kDownload = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";

// Each scan answers a verdict of its own, from the event's Value3; scans of the slow file wait
// until the test lets them go.
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

class SameFileTest : public SimulatedDriverTest {
protected:
    void SetUp() override {
        SimulatedDriverTest::SetUp();
        SlowScanner& scanner = Scanner();
        const std::lock_guard<std::mutex> lock(scanner.mutex);
        scanner.slow_file.clear();
        scanner.released.clear();
        scanner.release_all = false;
        scanner.waiting = 0;
    }
    void TearDown() override {
        Release([](SlowScanner& scanner) { scanner.release_all = true; });
        SimulatedDriverTest::TearDown();
    }

    static void Start(ScanResultCallback result = RecordResult) {
        const DriverConfig config = MakeConfig();
        ASSERT_EQ(FilterInit(&config, ScanSlowly, result, nullptr), S_OK);
        ASSERT_TRUE(SimWaitForTraffic(0, 1, kWaitMs));
    }

    std::wstring SlowDownload(const std::wstring& name) {
        const std::wstring file = folder.File(name);
        WriteStream(file, L"Zone.Identifier", kDownload);
        const std::lock_guard<std::mutex> lock(Scanner().mutex);
        Scanner().slow_file = file;
        return file;
    }

    template <class Change>
    static void Release(Change change) {
        SlowScanner& scanner = Scanner();
        const std::lock_guard<std::mutex> lock(scanner.mutex);
        change(scanner);
        scanner.changed.notify_all();
    }

    static bool WaitForWaitingScans(std::size_t count) {
        SlowScanner& scanner = Scanner();
        std::unique_lock<std::mutex> lock(scanner.mutex);
        return scanner.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                        [&] { return scanner.waiting >= count; });
    }
};

// The record of a file scanned by the events in `verdicts`: each key once, the result one of theirs.
void ExpectOneRecord(const std::string& varnok, const std::set<std::string>& file_names, std::int32_t first_verdict,
                     std::int32_t last_verdict) {
    const std::string head = "HostUrl=https://downloads.example/tool.exe\r\nScanResult=";
    ASSERT_EQ(varnok.rfind(head, 0), 0u) << varnok;
    const std::size_t result_end = varnok.find("\r\nFileName=", head.size());
    ASSERT_NE(result_end, std::string::npos) << varnok;
    const int result = std::stoi(varnok.substr(head.size(), result_end - head.size()));
    EXPECT_GE(result, first_verdict);
    EXPECT_LE(result, last_verdict);
    const std::size_t name_begin = result_end + 11;
    ASSERT_GE(varnok.size(), name_begin + 2);
    EXPECT_EQ(varnok.substr(varnok.size() - 2), "\r\n");
    EXPECT_EQ(file_names.count(varnok.substr(name_begin, varnok.size() - 2 - name_begin)), 1u) << varnok;
    EXPECT_EQ(std::count(varnok.begin(), varnok.end(), '\n'), 3) << varnok;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST_F(SameFileTest, SlowScansOfOneFileRunSideBySideAndOtherFilesGoOn) {
    Start();
    const std::wstring slow = SlowDownload(L"slow.exe");
    constexpr std::uint32_t kEvents = kScanThreadCountForTests - 1;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(slow, 100 + i, i), S_OK);
    }
    ASSERT_TRUE(WaitForWaitingScans(kEvents));

    // Every slow scan still waits; the other file is answered all the same.
    const std::wstring other = folder.File(L"other.exe");
    WriteStream(other, L"Zone.Identifier", kDownload);
    ASSERT_EQ(PostEvent(other, 7, 77), S_OK);
    ASSERT_TRUE(SimWaitForTraffic(0, 2, kWaitMs));
    EXPECT_EQ(Verdicts().at(0).EventId, 7u);
    EXPECT_EQ(Verdicts().at(0).Verdict, kVerdictBase + 77);

    // Let them go one at a time: the stored result is the last one's.
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        Release([&](SlowScanner& scanner) { scanner.released.insert(i); });
        ASSERT_TRUE(Host().WaitForResults(2 + i));
        EXPECT_EQ(ReadStream(slow, L"varnok"), "HostUrl=https://downloads.example/tool.exe\r\nScanResult=" +
                                                   std::to_string(kVerdictBase + static_cast<std::int32_t>(i)) +
                                                   "\r\nFileName=" + Narrow(slow) + "\r\n");
    }
    // Each event got one verdict, its own scan's.
    std::set<std::uint64_t> answered;
    for (const ScanCommand& verdict : Verdicts()) {
        EXPECT_TRUE(answered.insert(verdict.EventId).second);
        if (verdict.EventId >= 100) {
            EXPECT_EQ(verdict.Verdict, kVerdictBase + static_cast<std::int32_t>(verdict.EventId - 100));
        }
    }
    EXPECT_EQ(answered.size(), kEvents + 1);
}

// The events in progress all scan at once, so stopping waits for one scan, not one per event.
TEST_F(SameFileTest, DisconnectWithManyEventsQueuedForOneSlowFileWaitsForOneScan) {
    Start();
    const std::wstring slow = SlowDownload(L"slow.exe");
    std::thread poster([&] {
        for (std::uint32_t i = 0; i < 2 * kScanThreadCountForTests; ++i) {
            PostEvent(slow, 100 + i, i);  // those the library never takes time out when it stops
        }
    });
    ASSERT_TRUE(WaitForWaitingScans(kScanThreadCountForTests));
    std::thread stopper([] { EXPECT_EQ(ClientDisconnect(), S_OK); });
    Release([](SlowScanner& scanner) { scanner.release_all = true; });
    stopper.join();
    poster.join();
    const std::vector<ScanCommand> verdicts = Verdicts();
    EXPECT_GE(verdicts.size(), kScanThreadCountForTests);
    for (const ScanCommand& verdict : verdicts) {
        EXPECT_EQ(verdict.Verdict, kVerdictBase + static_cast<std::int32_t>(verdict.EventId - 100));
    }
}

// A host whose result callback waits for a later event of the same file, as a removal that the
// driver holds until its verdict does.
TEST_F(SameFileTest, ResultCallbackWaitingForAnotherEventOfItsFileDoesNotDeadlock) {
    static std::atomic<bool> second_answered{false};
    second_answered = false;
    Start([](const wchar_t* path, std::int32_t verdict) {
        if (verdict == kVerdictBase + 1) {
            EXPECT_EQ(PostEvent(path, 2, 2), S_OK);
            second_answered = SimWaitForTraffic(0, 3, kWaitMs) != FALSE;
        }
        RecordResult(path, verdict);
    });
    const std::wstring file = folder.File(L"removed.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    ASSERT_EQ(PostEvent(file, 1, 1), S_OK);
    ASSERT_TRUE(Host().WaitForResults(2));
    EXPECT_TRUE(second_answered);
}

// The exclusion belongs to the file, not to its name.
TEST_F(SameFileTest, SpellingsOfOnePathAlternatingLeaveOneWellFormedRecord) {
    Start();
    const std::wstring file = folder.File(L"spelled.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    WriteStream(file, L"varnok", "HostUrl=https://downloads.example/tool.exe\r\n");
    std::wstring slashes = file;
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    std::wstring upper = file;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    const std::vector<std::wstring> spellings{file, slashes, L"\\\\?\\" + file, upper};

    constexpr std::uint32_t kEvents = 400;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(spellings[i % spellings.size()], i + 1, i), S_OK);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, 1 + kEvents, 120000));
    std::set<std::string> names;
    for (const std::wstring& spelling : spellings) {
        names.insert(Narrow(spelling));
    }
    ExpectOneRecord(ReadStream(file, L"varnok").value_or(""), names, kVerdictBase, kVerdictBase + kEvents - 1);
}

TEST_F(SameFileTest, ManyEventsAtOnceLeaveALargeRecordWhole) {
    Start();
    const std::wstring file = folder.File(L"large.exe");
    WriteStream(file, L"Zone.Identifier", kDownload);
    std::string notes;
    for (int line = 0; notes.size() < 400 * 1024; ++line) {
        notes += "Note" + std::to_string(line) + "=" + std::string(90, static_cast<char>('a' + line % 26)) + "\r\n";
    }
    WriteStream(file, L"varnok", notes + "HostUrl=https://downloads.example/tool.exe\r\n");

    constexpr std::uint32_t kEvents = 150;
    for (std::uint32_t i = 0; i < kEvents; ++i) {
        ASSERT_EQ(PostEvent(file, i + 1, i), S_OK);
    }
    ASSERT_TRUE(SimWaitForTraffic(kEvents, 1 + kEvents, 120000));
    const std::string varnok = ReadStream(file, L"varnok").value_or("");
    ASSERT_EQ(varnok.rfind(notes, 0), 0u);
    ExpectOneRecord(varnok.substr(notes.size()), {Narrow(file)}, kVerdictBase, kVerdictBase + kEvents - 1);
}

}  // namespace
}  // namespace varnok::test
