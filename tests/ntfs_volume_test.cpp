// What Wine does with files on the test command's NTFS volume, through the Windows API: the facts
// the library and its tests rest on, so that a change of Wine or ntfs-3g fails here first.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "file_calls.h"
#include "tests/support/test_files.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

const std::string kZone = "ZoneId=3\r\n";

// A fresh folder on the NTFS volume for each test, with "setup.exe" and its Zone.Identifier.
class NtfsVolumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        VARNOK_REQUIRE_NTFS_VOLUME();
        folder_.emplace();
        file_ = folder_->File(L"setup.exe", "MZ");
        WriteStream(file_, L"Zone.Identifier", kZone);
    }

    std::optional<TempFolder> folder_;
    std::wstring file_;
};

// As on Windows, a stream lives inside its file: the folder lists only the file, whose size is its
// own bytes; a rename takes the streams along and a delete takes them away (a file downloaded again
// must not keep the old record); opening a stream of a missing file with OPEN_ALWAYS creates the
// file, which is why the library makes a missing stream only while it holds the file open. Unlike
// Windows, the creation time read is the last-write time: the tests age a file by both.
TEST_F(NtfsVolumeTest, StreamsGoWithTheirFileAndTheCreationTimeIsTheLastWriteTime) {
    const std::filesystem::path& folder = folder_->path;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    EXPECT_EQ(std::filesystem::file_size(file_), 2u);
    {
        const UniqueHandle file = OpenName(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
        const FILETIME long_ago{0x10000000, 0x01D00000};  // in 2014
        ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &long_ago));
        FILETIME creation{};
        ASSERT_TRUE(::GetFileTime(file.Get(), &creation, nullptr, nullptr));
        EXPECT_EQ(::CompareFileTime(&creation, &long_ago), 0);
    }

    const std::wstring renamed = (folder / L"renamed.exe").wstring();
    ASSERT_TRUE(::MoveFileW(file_.c_str(), renamed.c_str()));
    EXPECT_EQ(ReadStream(renamed, L"Zone.Identifier"), kZone);
    EXPECT_EQ(ReadStream(file_, L"Zone.Identifier"), std::nullopt);
    ASSERT_TRUE(::DeleteFileW(renamed.c_str()));
    EXPECT_EQ(ReadStream(renamed, L"Zone.Identifier"), std::nullopt);

    const std::wstring missing = (folder / L"gone.exe").wstring();
    ASSERT_TRUE(OpenName(missing + L":" + kRecordStream, GENERIC_WRITE, OPEN_ALWAYS));
    EXPECT_EQ(RecordOf(missing), "");
    EXPECT_TRUE(std::filesystem::exists(missing));
}

// Opens in the folder of "setup.exe" while another handle is held. A file opens under any case,
// its streams only under its exact name (the tests name files exactly). Unlike Windows, one set of
// share modes covers a file and all its streams: a stream held without sharing, or any writer of
// the file or a stream, keeps the file from opening for reading with others allowed only to read.
TEST_F(NtfsVolumeTest, OpensUnderAnotherCaseAndUnderHeldHandles) {
    struct Case {
        const wchar_t* held;  // nullptr: no handle held
        DWORD held_access, held_share;
        const wchar_t* read;  // opened for reading, sharing what `share` allows
        DWORD share, error;
    };
    const std::wstring record = L"setup.exe:" + kRecordStream;
    const Case cases[] = {
        {nullptr, 0, 0, L"SETUP.EXE", kShareReadWrite, ERROR_SUCCESS},
        {nullptr, 0, 0, L"SETUP.EXE:Zone.Identifier", kShareReadWrite, ERROR_FILE_NOT_FOUND},
        {L"setup.exe:Zone.Identifier", GENERIC_READ, 0, L"setup.exe", kShareReadWrite, ERROR_SHARING_VIOLATION},
        {record.c_str(), GENERIC_WRITE, kShareReadWrite, L"setup.exe", FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
        {record.c_str(), GENERIC_WRITE, kShareReadWrite, L"setup.exe", kShareReadWrite, ERROR_SUCCESS},
        {L"setup.exe", GENERIC_WRITE, kShareReadWrite, L"setup.exe", FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
        {nullptr, 0, 0, L"setup.exe", FILE_SHARE_READ, ERROR_SUCCESS},
    };
    const std::wstring folder = folder_->path.wstring() + L"\\";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.held ? c.held : L"nothing") << " held, " << c.read << " read");
        const UniqueHandle held =
            c.held ? OpenName(folder + c.held, c.held_access, OPEN_ALWAYS, c.held_share) : UniqueHandle();
        ASSERT_TRUE(held || !c.held);
        const UniqueHandle opened = OpenName(folder + c.read, GENERIC_READ, OPEN_EXISTING, c.share);
        EXPECT_EQ(opened ? static_cast<DWORD>(ERROR_SUCCESS) : ::GetLastError(), c.error);
    }
}

// What the record's binding rests on: a stream's handle reports its file's index and identity;
// writing a stream moves the file's last-write time on, and setting it back through a handle of the
// file holds; a stream name relative to the file's handle is refused, relative to its folder's
// handle it is the file's stream.
TEST_F(NtfsVolumeTest, StreamsReportTheirFilesIdentityAndMoveItsTime) {
    const UniqueHandle file = OpenName(file_, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    const UniqueHandle stream =
        OpenName(file_ + L":Zone.Identifier", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, kShareAll);
    ASSERT_TRUE(file && stream);
    EXPECT_EQ(FileIndexOf(stream.Get()), FileIndexOf(file.Get()));
    EXPECT_EQ(IdentityOf(stream.Get()), IdentityOf(file.Get()));
    const FileVersion before = FactsOf(file.Get())->version;
    const UniqueHandle folder = OpenFolder(folder_->path.wstring()).handle;
    EXPECT_EQ(OpenInFolder(file.Get(), L":" + kRecordStream, GENERIC_READ, kShareAll, Disposition::kCreateNew).error,
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    const Opened created =
        OpenInFolder(folder.Get(), L"setup.exe:" + kRecordStream, GENERIC_WRITE, kShareAll, Disposition::kCreateNew);
    ASSERT_TRUE(created.handle && created.created);
    EXPECT_EQ(FileIndexOf(created.handle.Get()), FileIndexOf(file.Get()));
    ASSERT_TRUE(ReplaceStreamBytes(created.handle.Get(), "", Line(kScanResult, "1")));
    EXPECT_NE(FactsOf(file.Get())->version, before);
    ASSERT_TRUE(SetLastWriteTime(file.Get(), before.last_write_time));
    EXPECT_EQ(FactsOf(file.Get())->version, before);
}

}  // namespace
}  // namespace varnok::test
