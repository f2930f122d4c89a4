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
    WriteRaw(Open(name, GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS).get(), bytes);
}

std::optional<std::string> ReadRaw(const std::wstring& name) {
    std::string bytes(2 * kStreamReadLimit, '\0');
    DWORD done = 0;
    const UniqueHandle hFile = Open(name, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    if (!hFile || !::ReadFile(hFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
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

TEST_F(StreamFileTest, LoadsStoredBytesAsTextAndReadsValues) {
    WriteRaw(Zone(),
             "ZoneId=3\r\nHostUrl=abc\r\nNote=a\rb\r\nKey=sun\r\n\x1A"
             "ZoneId=4\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    EXPECT_TRUE(stream.text.empty());
    ASSERT_TRUE(stream.Load());
    EXPECT_EQ(stream.text, L"ZoneId=3\nHostUrl=abc\nNote=a\rb\nKey=sun\n");
    std::wstring value;
    EXPECT_TRUE(stream.GetValue(L"ZoneId", value) && value == L"3");
    EXPECT_TRUE(stream.GetValue(L"Key", value) && value == L"un");
    EXPECT_FALSE(stream.GetValue(L"ReferrerUrl", value));
    EXPECT_FALSE(stream.GetValue(L"(", value));
    EXPECT_EQ(value, L"un");
}

TEST_F(StreamFileTest, CreatesAMissingStreamOnlyWhenAsked) {
    StreamFile reader(file_, L"Zone.Identifier", false);
    reader.text = L"kept";
    EXPECT_FALSE(reader.Load());
    EXPECT_EQ(reader.text, L"kept");
    EXPECT_FALSE(ReadRaw(Zone()));

    StreamFile creator(file_, L"Zone.Identifier", true);
    creator.text = L"kept";
    EXPECT_TRUE(creator.Load());
    EXPECT_EQ(creator.text, L"kept");
    EXPECT_EQ(ReadRaw(Zone()), "");
    EXPECT_TRUE(creator.Load());
    EXPECT_EQ(creator.text, L"");

    // Nor is a name that no file can have.
    StreamFile invalid((folder_ / L"a|b").wstring(), L"Zone.Identifier", true);
    invalid.text = L"kept";
    EXPECT_FALSE(invalid.Load());
    EXPECT_EQ(invalid.text, L"kept");
}

TEST_F(StreamFileTest, SaveReplacesTheWholeStreamWithItsBytes) {
    WriteRaw(Zone(), "ZoneId=3\r\nHostUrl=" + std::string(100, 'x') + "\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    ASSERT_TRUE(stream.Load());
    stream.SetValue(L"HostUrl", L"$1$$");
    stream.SetValue(L"FileName", L"\x0416.txt");
    stream.SetValue(L"ReferrerUrl", L"r");
    stream.Save();
    EXPECT_EQ(ReadRaw(Zone()), "ZoneId=3\r\nHostUrl=$1$$\r\nFileName=?.txt\r\nReferrerUrl=r\r\n");
}

TEST_F(StreamFileTest, SharesTheStreamWithOtherHandles) {
    {
        const UniqueHandle hOther = Open(Zone(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS);
        WriteRaw(hOther.get(), "ZoneId=3\r\n");
        StreamFile stream(file_, L"Zone.Identifier", false);
        ASSERT_TRUE(stream.Load());
        stream.SetValue(L"ZoneId", L"4");
        stream.Save();
        EXPECT_EQ(ReadRaw(Zone()), "ZoneId=4\r\n");
    }
    // A handle that shares nothing keeps the stream from being read or written, as a read-only
    // file does: nothing changes.
    StreamFile stream(file_, L"Zone.Identifier", false);
    stream.text = L"ZoneId=5\n";
    {
        const UniqueHandle hExclusive = Open(Zone(), GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(hExclusive);
        EXPECT_FALSE(stream.Load());
        stream.Save();
    }
    EXPECT_EQ(stream.text, L"ZoneId=5\n");
    EXPECT_EQ(ReadRaw(Zone()), "ZoneId=4\r\n");
}

TEST_F(StreamFileTest, ReadsAStreamUpToTheLimitWholeAndOnlyTheLimitOfALongerOne) {
    std::string bytes = "ZoneId=3\r\nHostUrl=https://";
    std::wstring url = L"https://";
    for (std::size_t i = 0; bytes.size() < kStreamReadLimit - 2; ++i) {
        const char c = static_cast<char>('!' + i % 90);
        bytes.push_back(c);
        url.push_back(static_cast<wchar_t>(c));
    }
    WriteRaw(Zone(), bytes + "\r\n");
    StreamFile stream(file_, L"Zone.Identifier", false);
    ASSERT_TRUE(stream.Load());
    std::wstring value;
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url);
    stream.SetValue(L"HostUrl", L"x" + url);  // would outgrow the read limit: not made
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url);
    stream.SetValue(L"HostUrl", url.substr(1));
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url.substr(1));
    EXPECT_TRUE(stream.GetValue(L"ZoneId", value) && value == L"3");

    // One byte more: the first kStreamReadLimit bytes are the text, as if the stream ended there,
    // so the CR before the cut stays a CR.
    WriteRaw(Zone(), bytes + "x\r\nZoneId=4\r\n");
    ASSERT_TRUE(stream.Load());
    EXPECT_EQ(stream.text.size(), kStreamReadLimit - 1);
    EXPECT_EQ(stream.text.back(), L'\r');
    EXPECT_TRUE(stream.GetValue(L"HostUrl", value) && value == url + L"x");
    EXPECT_FALSE(stream.whole);
}

// A stream read only in part is never written back: that would cut it.
TEST_F(StreamFileTest, AStreamReadInPartIsNeverWritten) {
    const std::string long_stream = "HostUrl=a\r\n" + std::string(kStreamReadLimit, 'n') + "\r\nScanResult=1\r\n";
    const std::string cut_by_end_of_text =
        "HostUrl=a\r\n\x1A"
        "ScanResult=1\r\n";
    for (const std::string& bytes : {long_stream, cut_by_end_of_text}) {
        WriteRaw(Zone(), bytes);
        StreamFile stream(file_, L"Zone.Identifier", false);
        ASSERT_TRUE(stream.Load());
        EXPECT_FALSE(stream.whole);
        stream.SetValue(L"HostUrl", L"b");
        stream.Save();
        EXPECT_EQ(stream.Update([](StreamFile& s) {
            s.SetValue(L"ScanResult", L"2");
            return true;
        }),
                  StreamUpdate::Refused);
        EXPECT_EQ(ReadRaw(Zone()), bytes);
    }
}

TEST_F(StreamFileTest, MissingAndUnreadableAreTold) {
    StreamFile stream(file_, L"Zone.Identifier", false);
    EXPECT_EQ(stream.Read(), StreamState::Missing);
    WriteRaw(Zone(), "ZoneId=3\r\n");
    const UniqueHandle hExclusive = Open(Zone(), GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_TRUE(hExclusive);
    EXPECT_EQ(stream.Read(), StreamState::Unreadable);
    EXPECT_EQ(stream.ReadLocked(), StreamState::Unreadable);
    EXPECT_EQ(stream.Update([](StreamFile&) { return true; }), StreamUpdate::Failed);
}

// A file that has gone (a scan quarantined it) is not made anew by a write of its stream; an
// existing file gets its missing stream.
TEST_F(StreamFileTest, WritesCreateAMissingStreamOnlyOnAnExistingFile) {
    const std::wstring gone = (folder_ / L"quarantined.exe").wstring();
    StreamFile stream(gone, L"varnok", false);
    stream.text = L"ScanResult=1\n";
    stream.Save();
    EXPECT_EQ(stream.Update([](StreamFile& s) {
        s.SetValue(L"ScanResult", L"1");
        return true;
    }),
              StreamUpdate::Failed);
    EXPECT_EQ(::GetFileAttributesW(gone.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW((gone + L":varnok").c_str()), INVALID_FILE_ATTRIBUTES);

    StreamFile existing(file_, L"varnok", false);
    EXPECT_EQ(existing.Update([](StreamFile& s) {
        s.SetValue(L"ScanResult", L"1");
        return true;
    }),
              StreamUpdate::Written);
    EXPECT_EQ(ReadRaw(file_ + L":varnok"), "ScanResult=1\r\n");
}

// The library never keeps a user from deleting or renaming the file, not even while it holds the
// stream in the middle of an update; what it then writes does not bring the file back.
TEST_F(StreamFileTest, FileCanBeDeletedOrRenamedWhileItsStreamIsUpdated) {
    WriteRaw(file_ + L":varnok", "HostUrl=a\r\n");
    StreamFile stream(file_, L"varnok", false);
    const std::wstring moved = (folder_ / L"moved.exe").wstring();
    bool renamed = false;
    stream.Update([&](StreamFile& s) {
        renamed = ::MoveFileW(file_.c_str(), moved.c_str()) != FALSE;
        // Under Wine on a file system without streams, the stream is a file of its own beside it.
        const std::wstring left = file_ + L":varnok";
        if (::GetFileAttributesW(left.c_str()) != INVALID_FILE_ATTRIBUTES) {
            renamed = renamed && ::MoveFileW(left.c_str(), (moved + L":varnok").c_str()) != FALSE;
        }
        s.SetValue(L"ScanResult", L"1");
        return true;
    });
    EXPECT_TRUE(renamed);
    EXPECT_EQ(ReadRaw(moved + L":varnok").value_or("").rfind("HostUrl=a\r\n", 0), 0u);

    StreamFile moved_stream(moved, L"varnok", false);
    bool deleted = false;
    moved_stream.Update([&](StreamFile& s) {
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

// Two updates of one stream: the second starts while the first is between its read and its
// write, and must wait for it, or the first's key is lost. The first goes on only once the second
// waits for the lock, or, were there no lock, has made its own change.
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

// A locked read sees a stream before or after an update, never in between, whatever the update
// does to its length.
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
        ASSERT_EQ(reader.ReadLocked(), StreamState::Loaded);
        ASSERT_TRUE(reader.text == long_text || reader.text == short_text) << reader.text.size();
        ++reads;
    }
    updates.join();
    EXPECT_GT(reads, 0);
}

}  // namespace
}  // namespace varnok
