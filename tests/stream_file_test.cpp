#include "stream_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "stream_text.h"
#include "tests/support/scratch_folder.h"
#include "unique_handle.h"

namespace varnok {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

UniqueHandle Open(const std::wstring& name, DWORD access, DWORD share, DWORD disposition) {
    return UniqueHandle(::CreateFileW(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

void WriteRaw(HANDLE hFile, const std::string& bytes) {
    DWORD done = 0;
    ASSERT_TRUE(::WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    ASSERT_EQ(done, bytes.size());
}

void WriteRaw(const std::wstring& name, const std::string& bytes) {
    WriteRaw(Open(name, GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS).Get(), bytes);
}

std::optional<std::string> ReadRaw(const std::wstring& name) {
    std::string bytes(2 * kStreamReadLimit, '\0');
    DWORD done = 0;
    const UniqueHandle hFile = Open(name, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    if (!hFile || !::ReadFile(hFile.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(done);
    return bytes;
}

// A downloaded file of its own for each test; its "Zone.Identifier" stream does not exist yet.
class StreamFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test::ScratchRoot() / ("varnok_stream_" + std::to_string(::GetCurrentProcessId()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        file_ = (folder_ / L"setup.exe").wstring();
        WriteRaw(file_, "MZ");
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
    }

    [[nodiscard]] std::wstring Zone() const { return file_ + L":Zone.Identifier"; }

    std::filesystem::path folder_;
    std::wstring file_;
};

// Another handle that shares reading and writing is no obstacle; one that shares nothing makes the
// stream unreadable (not missing), and nothing is read or written through it.
TEST_F(StreamFileTest, MissingAndUnreadableStreamsAreTold) {
    StreamFile stream(file_, L"Zone.Identifier", false);
    EXPECT_EQ(stream.Read(), StreamState::kMissing);
    {
        const UniqueHandle hOther = Open(Zone(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS);
        WriteRaw(hOther.Get(), "ZoneId=3\r\n");
        EXPECT_EQ(stream.Update([](StreamFile& s) {
            s.SetValue(L"ZoneId", L"4");
            return true;
        }),
                  StreamUpdate::kWritten);
    }
    stream.text = L"ZoneId=5\n";
    {
        const UniqueHandle hExclusive = Open(Zone(), GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(hExclusive);
        EXPECT_EQ(stream.Read(), StreamState::kUnreadable);
        EXPECT_EQ(stream.ReadLocked(), StreamState::kUnreadable);
        EXPECT_EQ(stream.Update([](StreamFile&) { return true; }), StreamUpdate::kFailed);
        stream.Save();
    }
    EXPECT_EQ(stream.text, L"ZoneId=5\n");
    EXPECT_EQ(ReadRaw(Zone()), "ZoneId=4\r\n");
}

// A stream of exactly the read limit is read whole; one byte more is read as its first
// kStreamReadLimit bytes, up to their last line end, and is then never written.
TEST_F(StreamFileTest, ReadLimitIsExactAndALongerStreamIsNeverWritten) {
    const std::string head = "ZoneId=3\r\nHostUrl=";
    const std::string line = head + std::string(kStreamReadLimit - head.size() - 2, 'u') + "\r\n";
    WriteRaw(Zone(), line);
    StreamFile stream(file_, L"Zone.Identifier", false);
    ASSERT_TRUE(stream.Load());
    EXPECT_TRUE(stream.whole);
    EXPECT_EQ(stream.text.size(), kStreamReadLimit - 2);

    WriteRaw(Zone(), line + "ScanResult=2\r\n");
    ASSERT_TRUE(stream.Load());
    EXPECT_FALSE(stream.whole);
    EXPECT_EQ(stream.text.size(), kStreamReadLimit - 2);
    EXPECT_EQ(stream.Update([](StreamFile& s) {
        s.SetValue(L"ZoneId", L"4");
        return true;
    }),
              StreamUpdate::kRefused);
    EXPECT_EQ(ReadRaw(Zone()), line + "ScanResult=2\r\n");
}

// A file that has gone (a scan quarantined it) is not made anew by a write of its stream; an
// existing file gets its missing stream.
TEST_F(StreamFileTest, WritesCreateAMissingStreamOnlyOnAnExistingFile) {
    auto set_result = [](StreamFile& s) {
        s.SetValue(L"ScanResult", L"1");
        return true;
    };
    const std::wstring gone = (folder_ / L"quarantined.exe").wstring();
    StreamFile stream(gone, L"varnok", false);
    stream.text = L"ScanResult=1\n";
    stream.Save();
    EXPECT_EQ(stream.Update(set_result), StreamUpdate::kFailed);
    EXPECT_EQ(::GetFileAttributesW(gone.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(StreamFile(file_, L"varnok", false).Update(set_result), StreamUpdate::kWritten);
    EXPECT_EQ(ReadRaw(file_ + L":varnok"), "ScanResult=1\r\n");
}

// The library never keeps a user from deleting or renaming the file, not even in the middle of an
// update of its stream; what it then writes does not bring the file back.
TEST_F(StreamFileTest, FileCanBeDeletedOrRenamedWhileItsStreamIsUpdated) {
    const std::wstring moved = (folder_ / L"moved.exe").wstring();
    WriteRaw(file_ + L":varnok", "HostUrl=a\r\n");
    const auto moves = [](const std::wstring& from, const std::wstring& to) {
        // Off NTFS, Wine keeps the stream as a file of its own beside its file, left behind.
        return ::MoveFileW(from.c_str(), to.c_str()) &&
               (::GetFileAttributesW((from + L":varnok").c_str()) == INVALID_FILE_ATTRIBUTES ||
                ::MoveFileW((from + L":varnok").c_str(), (to + L":varnok").c_str()));
    };
    bool renamed = false;
    StreamFile(file_, L"varnok", false).Update([&](StreamFile& s) {
        renamed = moves(file_, moved);
        s.SetValue(L"ScanResult", L"1");
        return true;
    });
    EXPECT_TRUE(renamed);
    EXPECT_EQ(ReadRaw(moved + L":varnok").value_or("").rfind("HostUrl=a\r\n", 0), 0u);

    bool deleted = false;
    StreamFile(moved, L"varnok", false).Update([&](StreamFile& s) {
        const bool stream_deleted = ::DeleteFileW((moved + L":varnok").c_str()) != FALSE;
        deleted = ::DeleteFileW(moved.c_str()) != FALSE && stream_deleted;
        s.SetValue(L"ScanResult", L"1");
        return true;
    });
    EXPECT_TRUE(deleted);
    for (const std::wstring& name : {file_, moved, file_ + L":varnok", moved + L":varnok"}) {
        EXPECT_EQ(::GetFileAttributesW(name.c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

// The second update starts while the first is between its read and its write, and must wait for
// the lock, or the first's key is lost; the first goes on once the second waits (or, unlocked, wrote).
TEST_F(StreamFileTest, ConcurrentUpdatesKeepEachOthersKeys) {
    const std::wstring name = file_ + L":varnok";
    WriteRaw(name, "HostUrl=a\r\n");
    static HANDLE hSecondWaitsOrChanged = nullptr;
    hSecondWaitsOrChanged = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE hFirstRead = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stream_lock_wait_hook = [] { ::SetEvent(hSecondWaitsOrChanged); };

    std::thread first([&] {
        StreamFile stream(file_, L"varnok", false);
        stream.Update([&](StreamFile& s) {
            s.SetValue(L"ScanResult", L"1");
            ::SetEvent(hFirstRead);
            return ::WaitForSingleObject(hSecondWaitsOrChanged, 20000) == WAIT_OBJECT_0;
        });
    });
    ASSERT_EQ(::WaitForSingleObject(hFirstRead, 20000), WAIT_OBJECT_0);
    StreamFile second(file_, L"varnok", false);
    second.Update([](StreamFile& s) {
        s.SetValue(L"FileName", L"b");
        ::SetEvent(hSecondWaitsOrChanged);
        return true;
    });
    first.join();
    g_stream_lock_wait_hook = nullptr;
    ::CloseHandle(hFirstRead);
    ::CloseHandle(hSecondWaitsOrChanged);
    EXPECT_EQ(ReadRaw(name), "HostUrl=a\r\nScanResult=1\r\nFileName=b\r\n");
}

// A locked read sees a stream before or after an update, never in between.
TEST_F(StreamFileTest, LockedReadNeverSeesAnUpdateHalfDone) {
    const std::wstring long_text = L"HostUrl=" + std::wstring(300000, L'l') + L"\n";
    const std::wstring short_text = L"HostUrl=short\nScanResult=1\n";
    StreamFile writer(file_, L"varnok", false);
    writer.text = long_text;
    writer.Save();
    std::atomic<bool> done{false};
    std::thread updates([&] {
        for (int i = 0; i < 100; ++i) {
            writer.Update([&](StreamFile& s) {
                s.text = (i % 2 == 0) ? short_text : long_text;
                return true;
            });
        }
        done = true;
    });
    StreamFile reader(file_, L"varnok", false);
    int reads = 0;
    while (!done) {
        ASSERT_EQ(reader.ReadLocked(), StreamState::kLoaded);
        ASSERT_TRUE(reader.text == long_text || reader.text == short_text) << reader.text.size();
        ++reads;
    }
    updates.join();
    EXPECT_GT(reads, 0);
}

}  // namespace
}  // namespace varnok
