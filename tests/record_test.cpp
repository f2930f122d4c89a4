// The file as judged and its record: what reaches the record, under which lock, and what a record
// write leaves of the file's version; and the origin streams read by name, up to the read limit.
#include "judged_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "file_calls.h"
#include "stream_text.h"
#include "support/host_harness.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

struct SetResult {
    bool operator()(StreamFile& record) const {
        record.SetValue(L"ScanResult", L"1");
        return true;
    }
};

FileVersion VersionOf(const std::wstring& file) {
    const UniqueHandle handle = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    return FactsOf(handle.Get()).value_or(FileFacts{}).version;
}

// Updates the record, and runs `while_locked` while the update holds the lock between its read and its
// write: on its second look at the text (the first decides without the lock).
template <class WhileLocked>
void UpdateHoldingTheLock(JudgedFile& judged, WhileLocked while_locked) {
    StreamFile record(kRecordStream);
    int looks = 0;
    judged.UpdateRecord(record, [&](StreamFile& text) {
        if (++looks == 2) {
            while_locked();
        }
        return SetResult{}(text);
    });
    EXPECT_EQ(looks, 2);
}

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override { VARNOK_REQUIRE_NTFS_VOLUME(); }

    // The file judged as an event judges it, with its Zone.Identifier read by name first.
    FileAge Judge(JudgedFile& judged, const std::wstring& file) const {
        const FileLocation location = *LocateFile(file);
        const OriginStream zone_identifier(ExactName(location), L"Zone.Identifier");
        return judged.Judge(location, {&zone_identifier});
    }

    TempFolder folder_;
    const std::wstring file_ = folder_.File(L"setup.exe", "MZ");
};

// A stream of exactly the read limit is read whole; one byte more is read as its first
// kStreamReadLimit bytes, up to their last line end.
TEST(OriginStreamTest, ReadLimitIsExact) {
    const TempFolder folder;
    const std::wstring file = folder.File(L"setup.exe", "MZ");
    const std::string head = "ZoneId=3\r\nHostUrl=";
    const std::string line = head + std::string(kStreamReadLimit - head.size() - 2, 'u') + "\r\n";
    for (const bool whole : {true, false}) {
        WriteStream(file, L"Zone.Identifier", whole ? line : line + "S");
        StreamFile stream(L"Zone.Identifier");
        OriginStream origin(ExactName(*LocateFile(file)), L"Zone.Identifier");
        ASSERT_EQ(origin.Read(stream, true), StreamState::kLoaded);
        EXPECT_EQ(stream.whole, whole);
        EXPECT_EQ(stream.text.size(), kStreamReadLimit - 2);
    }
}

// The record written goes into the judged file, whose last-write time is then what it was when
// judged: a record is bookkeeping, not a change of the content. A file changed after it was
// judged keeps the time of its change, and so does one whose writer is at work.
TEST_F(RecordTest, WritingTheRecordKeepsTheJudgedVersion) {
    WriteStream(file_, L"Zone.Identifier", "ZoneId=3\r\n");
    AgeFile(file_, std::chrono::hours(1));
    const FileVersion aged = VersionOf(file_);
    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    ASSERT_TRUE(judged.RecordIsItsOwn());
    EXPECT_EQ(judged.Version(), aged);
    StreamFile record(kRecordStream);
    EXPECT_EQ(judged.UpdateRecord(record, SetResult{}), RecordUpdate::kWritten);  // created
    EXPECT_EQ(judged.UpdateRecord(record, [](StreamFile& s) { return s.SetValue(L"B", L"2"), true; }),
              RecordUpdate::kWritten);
    EXPECT_EQ(ReadStream(file_, L"varnok"), "ScanResult=1\r\nB=2\r\n");
    EXPECT_EQ(VersionOf(file_), aged);

    {
        const UniqueHandle writer = OpenName(file_, GENERIC_WRITE, OPEN_EXISTING, kShareAll);
        ASSERT_TRUE(writer);
        EXPECT_EQ(judged.UpdateRecord(record, [](StreamFile& s) { return s.SetValue(L"C", L"3"), true; }),
                  RecordUpdate::kWritten);
    }
    EXPECT_NE(VersionOf(file_), aged);
    EXPECT_EQ(ReadStream(file_, L"varnok"), "ScanResult=1\r\nB=2\r\nC=3\r\n");
}

// A file that has gone (a scan quarantined it) is not made anew by a write of its record. (The
// end-to-end quarantine can't show it on the NTFS volume: for a second after the delete, ntfs-3g
// refuses to create a stream name opened before, which a new name here is not.)
TEST_F(RecordTest, WritesNeverCreateAFileThatHasGone) {
    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    ASSERT_TRUE(::DeleteFileW(file_.c_str()));
    StreamFile record(kRecordStream);
    EXPECT_EQ(judged.UpdateRecord(record, SetResult{}), RecordUpdate::kFailed);
    EXPECT_EQ(::GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The library never keeps a user from deleting the file, not even in the middle of an update of its
// record; what it then writes does not bring the file back.
TEST_F(RecordTest, FileCanBeDeletedWhileItsRecordIsUpdated) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    bool deleted = false;
    StreamFile record(kRecordStream);
    judged.UpdateRecord(record, [&](StreamFile& s) {
        deleted = ::DeleteFileW(file_.c_str()) != FALSE;
        return SetResult{}(s);
    });
    EXPECT_TRUE(deleted);
    EXPECT_EQ(::GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadStream(file_, L"varnok"), std::nullopt);
}

// The second update starts while the first holds the lock between its read and its write, and must
// wait for it and then work from what the first wrote, or the first's key is lost.
TEST_F(RecordTest, ConcurrentUpdatesKeepEachOthersKeys) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    static UniqueHandle second_waits;
    second_waits.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle first_locked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stream_lock_wait_hook = [] { ::SetEvent(second_waits.Get()); };

    std::thread first([&] {
        JudgedFile judged;
        ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
        UpdateHoldingTheLock(judged, [&] {
            ::SetEvent(first_locked.Get());
            EXPECT_EQ(::WaitForSingleObject(second_waits.Get(), kWaitMs), WAIT_OBJECT_0);
        });
    });
    ASSERT_EQ(::WaitForSingleObject(first_locked.Get(), kWaitMs), WAIT_OBJECT_0);
    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    StreamFile record(kRecordStream);
    judged.UpdateRecord(record, [](StreamFile& s) { return s.SetValue(L"FileName", L"b"), true; });
    first.join();
    g_stream_lock_wait_hook = nullptr;
    EXPECT_EQ(ReadStream(file_, L"varnok"), "HostUrl=a\r\nScanResult=1\r\nFileName=b\r\n");
}

// A locked read that starts while an update is between its read and its write waits for it, and
// sees the record after the update, never in between.
TEST_F(RecordTest, LockedReadWaitsForAnUpdateUnderWay) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    static UniqueHandle reader_waits;
    reader_waits.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stream_lock_wait_hook = [] { ::SetEvent(reader_waits.Get()); };
    JudgedFile reading_judged;
    ASSERT_EQ(Judge(reading_judged, file_), FileAge::kRecent);
    StreamFile read(kRecordStream);
    std::thread reading;
    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    UpdateHoldingTheLock(judged, [&] {
        reading = std::thread(
            [&] { EXPECT_EQ(reading_judged.ReadRecord(read, JudgedFile::RecordLock::kShared), StreamState::kLoaded); });
        EXPECT_EQ(::WaitForSingleObject(reader_waits.Get(), kWaitMs), WAIT_OBJECT_0);
    });
    reading.join();
    g_stream_lock_wait_hook = nullptr;
    EXPECT_EQ(read.text, L"HostUrl=a\nScanResult=1\n");
}

// Another process's handle holds the record's lock for ever. An update waits for it only so long,
// then counts the record as unknown and writes nothing; once one wait has run out, a later read of
// that file's record does not wait at all, until the lock has been taken again.
std::atomic<int> g_lock_waits{0};

TEST_F(RecordTest, LockHeldForEverCostsOneBoundedWait) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\nScanResult=2\r\n");
    const UniqueHandle holder = OpenName(file_ + L":varnok", GENERIC_READ, OPEN_EXISTING, kShareAll);
    OVERLAPPED range{};
    range.OffsetHigh = static_cast<DWORD>(kStreamLockOffset >> 32);
    ASSERT_TRUE(::LockFileEx(holder.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range));
    g_lock_waits = 0;
    g_stream_lock_wait_hook = [] { ++g_lock_waits; };

    JudgedFile judged;
    ASSERT_EQ(Judge(judged, file_), FileAge::kRecent);
    StreamFile record(kRecordStream);
    EXPECT_EQ(judged.UpdateRecord(record, SetResult{}), RecordUpdate::kUnknown);
    EXPECT_FALSE(judged.RecordIsItsOwn());
    EXPECT_EQ(judged.UpdateRecord(record, SetResult{}), RecordUpdate::kUnknown);  // nothing tried once unknown
    JudgedFile reader;
    ASSERT_EQ(Judge(reader, file_), FileAge::kRecent);
    EXPECT_EQ(reader.ReadRecord(record, JudgedFile::RecordLock::kShared), StreamState::kUnreadable);
    EXPECT_EQ(g_lock_waits, 1);
    EXPECT_EQ(ReadStream(file_, L"varnok"), "HostUrl=a\r\nScanResult=2\r\n");

    ASSERT_TRUE(::UnlockFileEx(holder.Get(), 0, 1, 0, &range));
    JudgedFile after;
    ASSERT_EQ(Judge(after, file_), FileAge::kRecent);
    EXPECT_EQ(after.UpdateRecord(record, SetResult{}), RecordUpdate::kWritten);
    g_stream_lock_wait_hook = nullptr;
}

// Another process holds the record's lock of many files for ever, and their events come at once.
// Only a few threads wait for such locks: the others, like the reader of one more such file here,
// go on at once with the record unknown, so the pool keeps serving the files that nobody holds.
constexpr std::size_t kManyLockedFiles = 10;
std::atomic<int> g_waiting{0};
std::atomic<int> g_done{0};
HANDLE g_all_settled = nullptr;
HANDLE g_release_waits = nullptr;

void Settle() {
    if (static_cast<std::size_t>(g_waiting + g_done) == kManyLockedFiles) {
        ::SetEvent(g_all_settled);
    }
}

TEST_F(RecordTest, LocksHeldForEverOnManyFilesTieUpOnlyAFewThreads) {
    std::vector<std::wstring> files;
    std::vector<UniqueHandle> holders;
    OVERLAPPED range{};
    range.OffsetHigh = static_cast<DWORD>(kStreamLockOffset >> 32);
    for (std::size_t i = 0; i <= kManyLockedFiles; ++i) {
        files.push_back(folder_.File(L"locked-" + std::to_wstring(i) + L".exe"));
        WriteStream(files.back(), L"varnok", "HostUrl=a\r\n");
        holders.push_back(OpenName(files.back() + L":varnok", GENERIC_READ, OPEN_EXISTING, kShareAll));
        ASSERT_TRUE(::LockFileEx(holders.back().Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range));
    }
    const UniqueHandle all_settled(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle release_waits(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_all_settled = all_settled.Get();
    g_release_waits = release_waits.Get();
    g_waiting = 0;
    g_done = 0;
    g_stream_lock_wait_hook = [] {
        ++g_waiting;
        Settle();
        ::WaitForSingleObject(g_release_waits, kWaitMs);
    };
    const auto read_record = [this](const std::wstring& file) {
        JudgedFile judged;
        StreamFile record(kRecordStream);
        return Judge(judged, file) == FileAge::kRecent ? judged.ReadRecord(record, JudgedFile::RecordLock::kShared)
                                                       : StreamState::kMissing;
    };
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < kManyLockedFiles; ++i) {
        readers.emplace_back([&, i] {
            EXPECT_EQ(read_record(files[i]), StreamState::kUnreadable);
            ++g_done;
            Settle();
        });
    }
    ASSERT_EQ(::WaitForSingleObject(all_settled.Get(), kWaitMs), WAIT_OBJECT_0);
    const int waiting = g_waiting;
    EXPECT_GE(waiting, 1);
    std::future<StreamState> one_more = std::async(std::launch::async, read_record, files[kManyLockedFiles]);
    EXPECT_EQ(one_more.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    ::SetEvent(release_waits.Get());
    EXPECT_EQ(one_more.get(), StreamState::kUnreadable);
    EXPECT_EQ(g_waiting, waiting);
    for (std::thread& reader : readers) {
        reader.join();
    }
    g_stream_lock_wait_hook = nullptr;
}

// The facts that the age test and a version come from are those of the file whose handle the library
// holds, whatever has taken its name since.
TEST(FileFactsTest, FactsOfAHandleStayWithItsFileWhenAnotherTakesItsName) {
    const TempFolder folder;
    const std::wstring file = folder.File(L"x.exe", "7 bytes");
    const std::wstring decoy = folder.File(L"decoy.exe", "fourteen bytes");
    const UniqueHandle held = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(held);
    ASSERT_TRUE(::MoveFileExW(file.c_str(), (folder.path / L"aside.exe").c_str(), 0));
    ASSERT_TRUE(::MoveFileExW(decoy.c_str(), file.c_str(), 0));
    const std::optional<FileFacts> facts = FactsOf(held.Get());
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->version.size, 7u);
}

}  // namespace
}  // namespace varnok::test
