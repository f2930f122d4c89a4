#include "stream_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "stream_text.h"
#include "support/host_harness.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

struct SetResult {
    bool operator()(StreamFile& stream) const {
        stream.SetValue(L"ScanResult", L"1");
        return true;
    }
};

// A downloaded file of its own for each test.
class StreamFileTest : public ::testing::Test {
protected:
    TempFolder folder_;
    const std::wstring file_ = folder_.File(L"setup.exe", "MZ");
};

// A stream of exactly the read limit is read whole; one byte more is read as its first
// kStreamReadLimit bytes, up to their last line end.
TEST_F(StreamFileTest, ReadLimitIsExact) {
    const std::string head = "ZoneId=3\r\nHostUrl=";
    const std::string line = head + std::string(kStreamReadLimit - head.size() - 2, 'u') + "\r\n";
    StreamFile stream(file_, L"Zone.Identifier", false);
    for (const bool whole : {true, false}) {
        WriteStream(file_, L"Zone.Identifier", whole ? line : line + "S");
        ASSERT_TRUE(stream.Load());
        EXPECT_EQ(stream.whole, whole);
        EXPECT_EQ(stream.text.size(), kStreamReadLimit - 2);
    }
}

// A file that has gone (a scan quarantined it) is not made anew by a write of its stream. (The
// end-to-end quarantine can't show it on the NTFS volume: for a second after the delete, ntfs-3g
// refuses to create a stream name opened before, which a new name here is not.)
TEST_F(StreamFileTest, WritesNeverCreateAFileThatHasGone) {
    const std::wstring gone = (folder_.path / L"quarantined.exe").wstring();
    StreamFile stream(gone, L"varnok", false);
    stream.text = L"ScanResult=1\n";
    stream.Save();
    EXPECT_EQ(stream.Update(SetResult{}), StreamUpdate::kFailed);
    EXPECT_EQ(::GetFileAttributesW(gone.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The library never keeps a user from deleting the file, not even in the middle of an update of its
// stream; what it then writes does not bring the file back.
TEST_F(StreamFileTest, FileCanBeDeletedWhileItsStreamIsUpdated) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    bool deleted = false;
    StreamFile(file_, L"varnok", false).Update([&](StreamFile& s) {
        // Off NTFS, Wine keeps the stream as a file of its own beside its file, deleted on its own.
        const bool stream_deleted = ::DeleteFileW((file_ + L":varnok").c_str()) != FALSE;
        deleted = ::DeleteFileW(file_.c_str()) != FALSE && stream_deleted;
        return SetResult{}(s);
    });
    EXPECT_TRUE(deleted);
    EXPECT_EQ(::GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadStream(file_, L"varnok"), std::nullopt);
}

// The second update starts while the first is between its read and its write, and must wait for
// the lock, or the first's key is lost; the first goes on once the second waits (or, unlocked, wrote).
TEST_F(StreamFileTest, ConcurrentUpdatesKeepEachOthersKeys) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    static UniqueHandle second_waits_or_changed;
    second_waits_or_changed.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle first_read(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stream_lock_wait_hook = [] { ::SetEvent(second_waits_or_changed.Get()); };

    std::thread first([&] {
        StreamFile(file_, L"varnok", false).Update([&](StreamFile& s) {
            SetResult{}(s);
            ::SetEvent(first_read.Get());
            return ::WaitForSingleObject(second_waits_or_changed.Get(), kWaitMs) == WAIT_OBJECT_0;
        });
    });
    ASSERT_EQ(::WaitForSingleObject(first_read.Get(), kWaitMs), WAIT_OBJECT_0);
    StreamFile(file_, L"varnok", false).Update([](StreamFile& s) {
        s.SetValue(L"FileName", L"b");
        ::SetEvent(second_waits_or_changed.Get());
        return true;
    });
    first.join();
    g_stream_lock_wait_hook = nullptr;
    EXPECT_EQ(ReadStream(file_, L"varnok"), "HostUrl=a\r\nScanResult=1\r\nFileName=b\r\n");
}

// A locked read that starts while an update is between its read and its write waits for it, and
// sees the stream after the update, never in between.
TEST_F(StreamFileTest, LockedReadWaitsForAnUpdateUnderWay) {
    WriteStream(file_, L"varnok", "HostUrl=a\r\n");
    static UniqueHandle reader_waits;
    reader_waits.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stream_lock_wait_hook = [] { ::SetEvent(reader_waits.Get()); };
    StreamFile reader(file_, L"varnok", false);
    std::thread reading;
    StreamFile(file_, L"varnok", false).Update([&](StreamFile& s) {
        reading = std::thread([&] { EXPECT_EQ(reader.ReadLocked(), StreamState::kLoaded); });
        EXPECT_EQ(::WaitForSingleObject(reader_waits.Get(), kWaitMs), WAIT_OBJECT_0);
        return SetResult{}(s);
    });
    reading.join();
    g_stream_lock_wait_hook = nullptr;
    EXPECT_EQ(reader.text, L"HostUrl=a\nScanResult=1\n");
}

}  // namespace
}  // namespace varnok::test
