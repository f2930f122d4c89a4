// The judged file's record: what its write leaves of the file's version and of the record when it
// fails, under which lock it is read and updated, and how long others can keep an update waiting.
// Then what Wine does with files on the NTFS volume, which all of that rests on.
#include "file_record.h"

#include <future>
#include <thread>

#include "stream_content.h"
#include "tests/support/file_seam.h"
#include "tests/support/test_files.h"

namespace varnok::test {
namespace {

const std::string kHostA = Line(kHostUrl, "a");

// A change of the record that sets one key.
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

// Sets the result, running `while_locked` while the update holds the lock between its read and its
// write: at its second look at the text (the first decides without the lock).
template <class WhileLocked>
RecordUpdate UpdateHoldingTheLock(Event& event, WhileLocked while_locked) {
    int looks = 0;
    const RecordUpdate update = event.Update([&](StreamText& text) {
        if (++looks == 2) {
            while_locked();
        }
        return Set(kScanResult, L"1")(text);
    });
    EXPECT_EQ(looks, 2);
    return update;
}

// Share modes kept per stream, as on Windows: the library's guard of the file's data keeps no one
// from its streams.
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

// A record is bookkeeping, not a change of the content: the judged file's last-write time is set back
// after it, unless a writer is at work. Both ways of holding the file against writers run: the
// record's own writer, where one set of share modes covers a file and its streams (the NTFS volume),
// and a handle of its data, where they are kept per stream (Windows; the writer opens at once).
TEST_F(RecordTest, WritingTheRecordKeepsTheJudgedVersion) {
    // Per stream first: the volume's one set of share modes, once learnt, is kept for the process.
    for (const bool per_stream : {true, false}) {
        SCOPED_TRACE(per_stream ? "share modes per stream" : "one set of share modes");
        const std::wstring data = per_stream ? L"per-stream.exe" : L"one-set.exe";
        const std::wstring file = folder_.Download(data, "ZoneId=3\r\n");
        AgeFile(file, std::chrono::hours(1));
        const FileVersion aged = OfFile(file, FactsOf)->version;
        std::atomic<int> writer_opens{0};
        const ScopedSeam seam([&](const FileCallSite& site) {
            const bool writer = site.call == FileCall::kOpen && (site.access & GENERIC_WRITE) != 0;
            writer_opens += writer && EndsWith(site.name, data + L":" + kRecordStream) ? 1 : 0;
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
            ASSERT_TRUE(writer);
            EXPECT_EQ(event.Update(Set(L"C", L"3")), RecordUpdate::kWritten);
        }
        EXPECT_NE(OfFile(file, FactsOf)->version, aged);
        EXPECT_EQ(RecordOf(file), Line(kScanResult, "1") + "B=2\r\nC=3\r\n");
    }
}

// Where share modes are kept per stream, another process's writer of its own file's record refuses
// the library's, as one set of share modes would: the next file's record is still written as per
// stream share modes want it, its data held by a handle that shares no writing.
TEST_F(RecordTest, AnotherProcessesRefusalChangesNoOtherFilesWrite) {
    WriteStream(file_, kRecordStream, kHostA);
    const std::wstring other = folder_.Download(L"other.exe", "ZoneId=3\r\n");
    std::atomic<bool> refused_once{false};
    std::vector<FileCallSite> opens_of_other;
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kOpen && site.name == record_name_ && (site.access & GENERIC_WRITE) != 0 &&
            !refused_once.exchange(true)) {
            return Fail(ERROR_SHARING_VIOLATION);  // its owner's writer, closed right after
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
    // The look for the record, the data guard, the record's writer, at the first try.
    ASSERT_EQ(opens_of_other.size(), 3u);
    EXPECT_EQ(opens_of_other[1].access & FILE_READ_DATA, static_cast<ACCESS_MASK>(FILE_READ_DATA));
    EXPECT_EQ(opens_of_other[1].share, kShareAllButWriting);
    EXPECT_NE(opens_of_other[2].access & GENERIC_WRITE, 0u);
}

// A write that fails at any point (a byte-range lock, a full disk, a device error) leaves the record
// as it was, other programs' keys too; one made for that write is gone again.
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
            const bool fails = site.call == c.call && EndsWith(site.name, record_name_) && !failed_once.exchange(true);
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
        return PerStream(site, L"setup.exe");  // the library's guard of the data keeps no one from the record
    });
    EXPECT_EQ(Event(file_).Update(Set(kScanResult, L"1")), RecordUpdate::kWritten);
    EXPECT_TRUE(appeared);
    EXPECT_EQ(RecordOf(file_), "Other=kept\r\n" + Line(kScanResult, "1"));
}

// An update and a locked read that start while an update is between its read and its write wait for
// it: the read never sees it half done, and the second update keeps the first's key.
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
    UpdateHoldingTheLock(first, [&] {
        reader = std::thread([&] { EXPECT_EQ(reading.record.Read(read, RecordLock::kShared), StreamState::kLoaded); });
        updater = std::thread([&] { second.Update(Set(kFileName, L"b")); });
        for (int wait = 0; wait < 2; ++wait) {
            EXPECT_EQ(::WaitForSingleObject(waits.Get(), kWaitMs), WAIT_OBJECT_0);
        }
    });
    reader.join();
    updater.join();
    EXPECT_TRUE(read.text.starts_with(kHostUrl + L"=a\n" + kScanResult + L"=1\n")) << Narrow(read.text);
    EXPECT_EQ(RecordOf(file_), kHostA + Line(kScanResult, "1") + Line(kFileName, "b"));
}

// Behind another worker whose call only a cancel would end (an unacknowledged oplock break), an
// update waits at the file's gate only so long: then the record is unknown and nothing is written.
TEST_F(RecordTest, WaitBehindAHeldUpCallIsBounded) {
    WriteStream(file_, kRecordStream, kHostA);
    const UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle first_held_up(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWrite) {
            ::SetEvent(first_held_up.Get());
            ::WaitForSingleObject(release.Get(), kWaitMs);
        }
        return PerStream(site, L"setup.exe");  // the first's writer keeps no reader of the file out
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

// A lock another process holds for ever costs one bounded wait: the record is then unknown, nothing is
// written, and later reads don't wait until the lock has been taken again.
TEST_F(RecordTest, LockHeldForEverCostsOneBoundedWait) {
    const std::string stored = kHostA + Line(kScanResult, "2");
    WriteStream(file_, kRecordStream, stored);
    LockedForEver holder(file_);
    std::atomic<int> waits{0};
    const ScopedSeam seam([&](const FileCallSite& site) {
        waits += site.call == FileCall::kWait ? 1 : 0;
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
}

// Locks held for ever on many files at once: only a few threads wait for them, the others (one more
// reader here) go on at once with the record unknown, so the pool keeps serving other files.
TEST_F(RecordTest, LocksHeldForEverOnManyFilesTieUpOnlyAFewThreads) {
    constexpr std::size_t kManyLockedFiles = 10;
    std::vector<std::wstring> files;
    std::vector<LockedForEver> holders;
    holders.reserve(kManyLockedFiles + 1);
    for (std::size_t i = 0; i <= kManyLockedFiles; ++i) {
        files.push_back(folder_.File(L"locked-" + std::to_wstring(i) + L".exe"));
        WriteStream(files.back(), kRecordStream, kHostA);
        holders.emplace_back(files.back());
    }
    const UniqueHandle all_settled(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle release_waits(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> waiting{0};
    std::atomic<int> done{0};
    const auto settle = [&] {
        if (static_cast<std::size_t>(waiting + done) == kManyLockedFiles) {
            ::SetEvent(all_settled.Get());
        }
    };
    const ScopedSeam seam([&](const FileCallSite& site) {
        if (site.call == FileCall::kWait) {
            ++waiting;
            settle();
            ::WaitForSingleObject(release_waits.Get(), kWaitMs);
        }
        return Proceed();
    });
    const auto read_record = [](const std::wstring& file) {
        Event event(file);
        StreamText record;
        return event.judgement == Judgement::kRecent ? event.record.Read(record, RecordLock::kShared)
                                                     : StreamState::kMissing;
    };
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < kManyLockedFiles; ++i) {
        readers.emplace_back([&, i] {
            EXPECT_EQ(read_record(files[i]), StreamState::kUnreadable);
            ++done;
            settle();
        });
    }
    ASSERT_EQ(::WaitForSingleObject(all_settled.Get(), kWaitMs), WAIT_OBJECT_0);
    const int waited = waiting;
    EXPECT_GE(waited, 1);
    std::future<StreamState> one_more = std::async(std::launch::async, read_record, files[kManyLockedFiles]);
    EXPECT_EQ(one_more.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    ::SetEvent(release_waits.Get());
    EXPECT_EQ(one_more.get(), StreamState::kUnreadable);
    EXPECT_EQ(waiting, waited);
    for (std::thread& reader : readers) {
        reader.join();
    }
}

// ---- What Wine does with files on the NTFS volume: a change of Wine or ntfs-3g fails here first ------
using NtfsVolumeTest = RecordTest;

// As on Windows, a stream lives inside its file: a rename takes it along, a delete away, and opening a
// stream of a missing file creates the file (so the library makes a record only while it holds the
// file). Unlike Windows, the creation time read is the last-write time: the tests age a file by both.
TEST_F(NtfsVolumeTest, StreamsGoWithTheirFileAndTheCreationTimeIsTheLastWriteTime) {
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

// A file opens under any case, its streams only under its exact name. Unlike Windows, one set of share
// modes covers a file and its streams: any writer, or a stream held without sharing, keeps the file
// from opening for reading with others allowed only to read.
TEST_F(NtfsVolumeTest, OpensUnderAnotherCaseAndUnderHeldHandles) {
    struct Case {
        const wchar_t* held;  // nullptr: no handle held
        DWORD held_access, held_share;
        const wchar_t* read;  // opened for reading, sharing what `share` allows
        DWORD share, error;
    };
    const Case cases[] = {
        {nullptr, 0, 0, L"SETUP.EXE", kShareReadWrite, ERROR_SUCCESS},
        {nullptr, 0, 0, L"SETUP.EXE:Zone.Identifier", kShareReadWrite, ERROR_FILE_NOT_FOUND},
        {L"setup.exe:Zone.Identifier", GENERIC_READ, 0, L"setup.exe", kShareReadWrite, ERROR_SHARING_VIOLATION},
        {record_name_.c_str(), GENERIC_WRITE, kShareReadWrite, L"setup.exe", FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
        {record_name_.c_str(), GENERIC_WRITE, kShareReadWrite, L"setup.exe", kShareReadWrite, ERROR_SUCCESS},
        {L"setup.exe", GENERIC_WRITE, kShareReadWrite, L"setup.exe", FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
        {nullptr, 0, 0, L"setup.exe", FILE_SHARE_READ, ERROR_SUCCESS},
    };
    const std::wstring folder = folder_.path.wstring() + L"\\";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.held ? c.held : L"nothing") << " held, " << c.read << " read");
        const UniqueHandle held =
            c.held ? OpenName(folder + c.held, c.held_access, OPEN_ALWAYS, c.held_share) : UniqueHandle();
        ASSERT_TRUE(held || !c.held);
        const UniqueHandle opened = OpenName(folder + c.read, GENERIC_READ, OPEN_EXISTING, c.share);
        EXPECT_EQ(opened ? static_cast<DWORD>(ERROR_SUCCESS) : ::GetLastError(), c.error);
    }
}

// What the record's binding rests on: a stream's handle reports its file's index and identity, writing
// it moves the file's time on, which can be set back; a stream opens relative to its folder's handle.
TEST_F(NtfsVolumeTest, StreamsReportTheirFilesIdentityAndMoveItsTime) {
    const UniqueHandle file = OpenName(file_, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    const UniqueHandle stream =
        OpenName(file_ + L":Zone.Identifier", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(file && stream);
    EXPECT_EQ(FileIndexOf(stream.Get()), FileIndexOf(file.Get()));
    EXPECT_EQ(IdentityOf(stream.Get()), IdentityOf(file.Get()));
    const FileVersion before = FactsOf(file.Get())->version;
    const UniqueHandle folder = OpenFolder(folder_.path.wstring()).handle;
    EXPECT_EQ(OpenInFolder(file.Get(), L":" + kRecordStream, GENERIC_READ, kShareAll, Disposition::kCreateNew).error,
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    const Opened created = OpenInFolder(folder.Get(), record_name_, GENERIC_WRITE, kShareAll, Disposition::kCreateNew);
    ASSERT_TRUE(created.handle && created.created);
    EXPECT_EQ(FileIndexOf(created.handle.Get()), FileIndexOf(file.Get()));
    ASSERT_TRUE(ReplaceStreamBytes(created.handle.Get(), "", Line(kScanResult, "1")));
    EXPECT_NE(FactsOf(file.Get())->version, before);
    ASSERT_TRUE(SetLastWriteTime(file.Get(), before.last_write_time));
    EXPECT_EQ(FactsOf(file.Get())->version, before);
}

// The facts of a handle are its file's, whatever has taken its name since (Wine answers one query
// that gives them from the name, looked up again).
TEST(FileFactsTest, FactsOfAHandleStayWithItsFileWhenAnotherTakesItsName) {
    const TempFolder folder;
    const std::wstring file = folder.File(L"x.exe", "7 bytes");
    const std::wstring decoy = folder.File(L"decoy.exe", "fourteen bytes");
    const UniqueHandle held = OpenName(file, FILE_READ_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(held);
    ASSERT_TRUE(::MoveFileExW(file.c_str(), (folder.path / L"aside.exe").c_str(), 0));
    ASSERT_TRUE(::MoveFileExW(decoy.c_str(), file.c_str(), 0));
    ASSERT_TRUE(FactsOf(held.Get()));
    EXPECT_EQ(FactsOf(held.Get())->version.size, 7u);
}

}  // namespace
}  // namespace varnok::test
