// The judged file's record: its write, its locks, the waits others cause, and what NTFS gives it to rest on.
#include "file_record.h"

#include <thread>

#include "stream_content.h"
#include "tests/support/test_files.h"

namespace varnok::test {
namespace {

const std::string kHostA = Line(kHostUrl, "a");

auto Set(const std::wstring& key, const std::wstring& value) {
    return [=](StreamText& record) { return record.SetValue(key, value), true; };
}

// One event's judged file, with its Zone.Identifier looked for by name first, and its record.
struct Event {
    explicit Event(const std::wstring& file) {
        const FileLocation location = *LocateFile(file);
        OriginStream zone_identifier(ExactName(location), L"Zone.Identifier");
        judgement = judged.Judge(location, {}, {&zone_identifier});
    }
    JudgedFile judged;
    Judgement judgement = Judgement::kUnopenable;
    FileRecord record{judged};

    template <class Change>
    RecordUpdate Update(Change change) {
        StreamText text;
        return record.Update(text, change);
    }
};

// Share modes kept per stream, as on Windows: the guard of the file's data keeps no one from its streams.
FileCallOutcome PerStream(const FileCallSite& site, std::wstring_view data) {
    return site.call == FileCall::kOpen && site.name == data ? FileCallOutcome{FileCallAction::kShareWriting}
                                                             : Proceed();
}

// A fresh folder on the NTFS volume, with "setup.exe" and its Zone.Identifier.
class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        VARNOK_REQUIRE_NTFS_VOLUME();
        WriteStream(file_, L"Zone.Identifier", "ZoneId=3\r\n");
    }

    TempFolder folder_;
    const std::wstring file_ = folder_.File(L"setup.exe", "MZ");
    const std::wstring record_name_ = L"setup.exe:" + kRecordStream;  // as the library opens it in the folder
};

// A stream of exactly the read limit is read whole; one byte more, up to the limit's last line end.
TEST(OriginStreamTest, ReadLimitIsExact) {
    const TempFolder folder;
    const std::wstring file = folder.File(L"setup.exe", "MZ");
    const UniqueHandle held_folder = OpenFolder(folder.path.wstring()).handle;
    const std::string head = "ZoneId=3\r\nHostUrl=";
    const std::string line = head + std::string(kStreamReadLimit - head.size() - 2, 'u') + "\r\n";
    for (const bool whole : {true, false}) {
        WriteStream(file, L"Zone.Identifier", whole ? line : line + "S");
        StreamText stream;
        OriginStream origin(ExactName(*LocateFile(file)), L"Zone.Identifier");
        origin.OpenInFolder(held_folder.Get(), L"setup.exe");
        ASSERT_EQ(origin.Read(stream, true), StreamState::kLoaded);
        EXPECT_EQ(stream.whole, whole);
        EXPECT_EQ(stream.text.size(), kStreamReadLimit - 2);
    }
}

// A record is no change of the content: the time is set back unless a writer is at work, with share modes
// per stream (first: one set, once learnt, stays) or one set.
TEST_F(RecordTest, WritingTheRecordKeepsTheJudgedVersion) {
    for (const bool per_stream : {true, false}) {
        SCOPED_TRACE(per_stream ? "share modes per stream" : "one set of share modes");
        const std::wstring data = per_stream ? L"per-stream.exe" : L"one-set.exe";
        const std::wstring file = folder_.Download(data, "ZoneId=3\r\n");
        AgeFile(file, std::chrono::hours(1));
        const FileVersion aged = OfFile(file, FactsOf)->version;
        std::atomic<int> writer_opens{0};
        const ScopedSeam seam([&](const FileCallSite& site) {
            const bool writer = site.call == FileCall::kOpen && (site.access & GENERIC_WRITE) != 0;
            writer_opens += writer && site.name.ends_with(data + L":" + kRecordStream) ? 1 : 0;
            return per_stream ? PerStream(site, data) : Proceed();
        });
        Event event(file);
        ASSERT_EQ(event.judgement, Judgement::kRecent);
        ASSERT_TRUE(event.judged.RecordIsItsOwn());
        EXPECT_EQ(event.judged.Version(), aged);
        EXPECT_EQ(event.Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);  // created
        EXPECT_EQ(event.Update(Set(L"B", L"2")), RecordUpdate::kWritten);
        EXPECT_EQ(writer_opens, per_stream ? 2 : 4);
        EXPECT_EQ(RecordOf(file), Line(kScanResult, "1") + "B=2\r\n");
        EXPECT_EQ(OfFile(file, FactsOf)->version, aged);
        {
            const UniqueHandle writer = OpenName(file, GENERIC_WRITE, OPEN_EXISTING, kShareAll);
            EXPECT_EQ(event.Update(Set(L"C", L"3")), RecordUpdate::kWritten);
        }
        EXPECT_NE(OfFile(file, FactsOf)->version, aged);
        EXPECT_EQ(RecordOf(file), Line(kScanResult, "1") + "B=2\r\nC=3\r\n");
    }
}

// Another process refusing one record's writer changes how no other file's record is written.
TEST_F(RecordTest, AnotherProcessesRefusalChangesNoOtherFilesWrite) {
    WriteStream(file_, kRecordStream, kHostA);
    const std::wstring other = folder_.Download(L"other.exe", "ZoneId=3\r\n");
    std::atomic<bool> refused_once{false};
    std::vector<FileCallSite> opens_of_other;
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kOpen && site.name == record_name_ && (site.access & GENERIC_WRITE) != 0 &&
            !refused_once.exchange(true)) {
            return Fail(ERROR_SHARING_VIOLATION);
        }
        if (site.call == FileCall::kOpen && site.name.starts_with(L"other.exe")) {
            opens_of_other.push_back({site.call, {}, site.access, site.share});
        }
        return PerStream(site, site.name == L"other.exe" ? L"other.exe" : L"setup.exe");
    });
    Event attacked(file_);
    EXPECT_EQ(attacked.Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);
    ASSERT_TRUE(refused_once);

    Event next(other);
    opens_of_other.clear();
    EXPECT_EQ(next.Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);
    ASSERT_EQ(opens_of_other.size(), 3u);  // the look, the data's guard, the writer at its first try
    EXPECT_EQ(opens_of_other[1].access & FILE_READ_DATA, static_cast<ACCESS_MASK>(FILE_READ_DATA));
    EXPECT_EQ(opens_of_other[1].share, kShareAllButWriting);
    EXPECT_NE(opens_of_other[2].access & GENERIC_WRITE, 0u);
}

// A write that fails at any point leaves the record as it was, others' keys too; one made for it is gone.
TEST_F(RecordTest, WriteThatFailsLeavesTheRecordAsItWas) {
    const std::string stored = Line(kHostUrl, "https://dl.example/setup.exe") + "Other=kept\r\n";
    struct Case {
        const char* what;
        FileCall call;
        FileCallOutcome outcome;
        const wchar_t* host;  // longer or shorter than the stored one
    };
    const wchar_t* const longer = L"https://a-longer-host.example/setup.exe";
    for (const Case& c :
         {Case{"write refused by a byte-range lock", FileCall::kWrite, Fail(ERROR_LOCK_VIOLATION), longer},
          Case{"write fails part-way", FileCall::kWrite, FailAfter(5, ERROR_LOCK_VIOLATION), longer},
          Case{"disk full when it grows", FileCall::kResize, Fail(ERROR_DISK_FULL), longer},
          Case{"write fails part-way as it shrinks", FileCall::kWrite, FailAfter(3, ERROR_IO_DEVICE), L"h"},
          Case{"cut fails as it shrinks", FileCall::kResize, Fail(ERROR_IO_DEVICE), L"h"}}) {
        SCOPED_TRACE(c.what);
        WriteStream(file_, kRecordStream, stored);
        std::atomic<bool> failed_once{false};
        const ScopedSeam seam([&](const FileCallSite& site) {
            const bool fails = site.call == c.call && site.name.ends_with(record_name_) && !failed_once.exchange(true);
            return fails ? c.outcome : Proceed();
        });
        EXPECT_EQ(Event(file_).Update(Set(kHostUrl, c.host)), RecordUpdate::kFailed);
        EXPECT_TRUE(failed_once);
        EXPECT_EQ(RecordOf(file_), stored);
    }

    const std::wstring fresh = folder_.Download(L"fresh.exe", "ZoneId=3\r\n");
    const ScopedSeam seam(
        [](const FileCallSite& site) { return site.call == FileCall::kWrite ? Fail(ERROR_DISK_FULL) : Proceed(); });
    EXPECT_EQ(Event(fresh).Update(Set(kScanResult, L"1")), RecordUpdate::kFailed);
    EXPECT_EQ(RecordOf(fresh).value_or(""), "");
}

// A record made by someone else between the look and the create is updated as it is then.
TEST_F(RecordTest, RecordThatAppearsBeforeTheCreateIsUpdatedAsItIs) {
    std::atomic<bool> appeared{false};
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kOpen && site.name == record_name_ && (site.access & DELETE) != 0 && !appeared) {
            const UniqueHandle record = OpenName(file_ + L":" + kRecordStream, GENERIC_WRITE, OPEN_ALWAYS);
            DWORD written = 0;
            appeared = record && ::WriteFile(record.Get(), "Other=kept\r\n", 12, &written, nullptr);
        }
        return PerStream(site, L"setup.exe");
    });
    EXPECT_EQ(Event(file_).Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);
    EXPECT_TRUE(appeared);
    EXPECT_EQ(RecordOf(file_), "Other=kept\r\n" + Line(kScanResult, "1"));
}

// An update and a locked read wait for one between its locked read and its write, and keep its key.
TEST_F(RecordTest, UpdateUnderWayIsWaitedForAndKept) {
    WriteStream(file_, kRecordStream, kHostA);
    const UniqueHandle waits(::CreateSemaphoreW(nullptr, 0, 2, nullptr));
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWait) {
            ::ReleaseSemaphore(waits.Get(), 1, nullptr);
        }
        return Proceed();
    });
    Event first(file_);
    Event reading(file_);
    Event second(file_);
    StreamText read;
    std::thread reader;
    std::thread updater;
    int looks = 0;
    first.Update([&](StreamText& text) {
        if (++looks == 2) {
            reader =
                std::thread([&] { EXPECT_EQ(reading.record.Read(read, RecordLock::kShared), StreamState::kLoaded); });
            updater = std::thread([&] { second.Update(Set(kFileName, L"b")); });
            for (int wait = 0; wait < 2; ++wait) {
                EXPECT_EQ(::WaitForSingleObject(waits.Get(), kWaitMs), WAIT_OBJECT_0);
            }
        }
        return Set(kScanResult, L"1")(text);
    });
    EXPECT_EQ(looks, 2);
    reader.join();
    updater.join();
    EXPECT_TRUE(read.text.starts_with(kHostUrl + L"=a\n" + kScanResult + L"=1\n")) << Narrow(read.text);
    EXPECT_EQ(RecordOf(file_), kHostA + Line(kScanResult, "1") + Line(kFileName, "b"));
}

// Behind a worker whose call only a cancel ends, an update waits at the file's gate only so long.
TEST_F(RecordTest, WaitBehindAHeldUpCallIsBounded) {
    WriteStream(file_, kRecordStream, kHostA);
    const UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle first_held_up(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWrite) {
            ::SetEvent(first_held_up.Get());
            ::WaitForSingleObject(release.Get(), kWaitMs);
        }
        return PerStream(site, L"setup.exe");
    });
    std::thread first([&] { Event(file_).Update(Set(kScanResult, L"1")); });
    ASSERT_EQ(::WaitForSingleObject(first_held_up.Get(), kWaitMs), WAIT_OBJECT_0);
    Event second(file_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(second.Update(Set(kFileName, L"b")), RecordUpdate::kUnknown);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs / 2));
    EXPECT_FALSE(second.judged.RecordIsItsOwn());
    ::SetEvent(release.Get());
    first.join();
    EXPECT_EQ(RecordOf(file_), kHostA + Line(kScanResult, "1"));
}

// A lock held for ever costs one bounded wait, and no more later; on many files, few threads wait at all.
TEST_F(RecordTest, LocksHeldForEverCostOneBoundedWaitOnAFewThreads) {
    const std::string stored = kHostA + Line(kScanResult, "2");
    WriteStream(file_, kRecordStream, stored);
    LockedForEver holder(file_);
    const UniqueHandle all_settled(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle release_waits(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    constexpr int kManyLockedFiles = 10;
    std::atomic<bool> hold_waits{false};
    std::atomic<int> waits{0};
    std::atomic<int> done{0};
    const auto settle = [&] {
        if (waits + done == kManyLockedFiles) {
            ::SetEvent(all_settled.Get());
        }
    };
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWait) {
            ++waits;
            if (hold_waits) {
                settle();
                ::WaitForSingleObject(release_waits.Get(), kWaitMs);
            }
        }
        return Proceed();
    });
    Event event(file_);
    ASSERT_EQ(event.judgement, Judgement::kRecent);
    EXPECT_EQ(event.Update(Set(kScanResult, L"1")), RecordUpdate::kUnknown);
    EXPECT_FALSE(event.judged.RecordIsItsOwn());
    EXPECT_EQ(event.Update(Set(kScanResult, L"1")), RecordUpdate::kUnknown);  // nothing tried once unknown
    StreamText record;
    EXPECT_EQ(Event(file_).record.Read(record, RecordLock::kShared), StreamState::kUnreadable);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(RecordOf(file_), stored);
    holder.Release();
    EXPECT_EQ(Event(file_).Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);

    std::vector<LockedForEver> holders;
    holders.reserve(kManyLockedFiles);
    std::vector<std::thread> readers;
    waits = 0;
    hold_waits = true;
    for (int i = 0; i < kManyLockedFiles; ++i) {
        const std::wstring file = folder_.File(L"locked-" + std::to_wstring(i) + L".exe");
        WriteStream(file, kRecordStream, kHostA);
        holders.emplace_back(file);
        readers.emplace_back([&, file] {
            StreamText locked;
            EXPECT_EQ(Event(file).record.Read(locked, RecordLock::kShared), StreamState::kUnreadable);
            ++done;
            settle();
        });
    }
    ASSERT_EQ(::WaitForSingleObject(all_settled.Get(), kWaitMs), WAIT_OBJECT_0);
    EXPECT_GE(waits, 1);
    EXPECT_LT(waits, kManyLockedFiles);  // the others were done while these still waited
    ::SetEvent(release_waits.Get());
    for (std::thread& reader : readers) {
        reader.join();
    }
}

using NtfsVolumeTest = RecordTest;  // what Wine does on NTFS: a change of Wine or ntfs-3g fails here first

// A stream lives in its file: none beside it nor in its size, moved and deleted with it, one of a missing
// file creates it; the creation time read is the last-write time. (Its index and share modes: above.)
TEST_F(NtfsVolumeTest, StreamsLiveInTheirFileAndTheCreationTimeIsTheLastWriteTime) {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path), {}), 1);
    EXPECT_EQ(std::filesystem::file_size(file_), 2u);
    {
        const UniqueHandle file = OpenName(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
        const FILETIME long_ago{0x10000000, 0x01D00000};  // in 2014
        ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &long_ago));
        FILETIME creation{};
        ASSERT_TRUE(::GetFileTime(file.Get(), &creation, nullptr, nullptr));
        EXPECT_EQ(::CompareFileTime(&creation, &long_ago), 0);
    }
    const std::wstring renamed = (folder_.path / L"renamed.exe").wstring();
    ASSERT_TRUE(::MoveFileW(file_.c_str(), renamed.c_str()));
    EXPECT_EQ(ReadStream(renamed, L"Zone.Identifier"), "ZoneId=3\r\n");
    EXPECT_EQ(ReadStream(file_, L"Zone.Identifier"), std::nullopt);
    ASSERT_TRUE(::DeleteFileW(renamed.c_str()));
    EXPECT_EQ(ReadStream(renamed, L"Zone.Identifier"), std::nullopt);

    const std::wstring missing = (folder_.path / L"gone.exe").wstring();
    ASSERT_TRUE(OpenName(missing + L":" + kRecordStream, GENERIC_WRITE, OPEN_ALWAYS));
    EXPECT_EQ(RecordOf(missing), "");
    EXPECT_TRUE(std::filesystem::exists(missing));
}

// The facts of a handle are its file's, whatever took its name since (Wine looks one query up by name).
TEST(FileFactsTest, FactsOfAHandleStayWithItsFileWhenAnotherTakesItsName) {
    const TempFolder folder;
    const std::wstring file = folder.File(L"x.exe", "7 bytes");
    const std::wstring decoy = folder.File(L"decoy.exe", "fourteen bytes");
    const UniqueHandle held = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(::MoveFileExW(file.c_str(), (folder.path / L"aside.exe").c_str(), 0));
    ASSERT_TRUE(::MoveFileExW(decoy.c_str(), file.c_str(), 0));
    EXPECT_EQ(FactsOf(held.Get()).value().version.size, 7u);
}

}  // namespace
}  // namespace varnok::test
