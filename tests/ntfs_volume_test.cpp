// What Wine does with files on the test command's NTFS volume, through the Windows API: the facts
// the library's decisions rest on, so that a change of Wine or ntfs-3g fails here first.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/scratch_folder.h"
#include "unique_handle.h"

namespace varnok::test {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr std::uint64_t kTicksPerSecond = 10000000;

UniqueHandle Open(const std::wstring& name, DWORD access, DWORD share, DWORD disposition) {
    return UniqueHandle(::CreateFileW(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

// Opens the name and says why it did not open: ERROR_SUCCESS when it did.
DWORD OpenError(const std::wstring& name, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    const UniqueHandle handle = Open(name, access, share, disposition);
    return handle ? ERROR_SUCCESS : ::GetLastError();
}

bool Write(const std::wstring& name, const std::string& bytes) {
    const UniqueHandle handle = Open(name, GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS);
    DWORD written = 0;
    return handle && ::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::optional<std::string> Read(const std::wstring& name) {
    const UniqueHandle handle = Open(name, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    if (!handle) {
        return std::nullopt;
    }
    std::string bytes(4096, '\0');
    DWORD read = 0;
    if (!::ReadFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}

std::uint64_t Ticks(FILETIME time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromNow(std::int64_t seconds) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = Ticks(now) + static_cast<std::uint64_t>(seconds * std::int64_t{kTicksPerSecond});
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A fresh folder on the NTFS volume for each test, with one file "setup.exe" in it.
class NtfsVolumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::optional<std::filesystem::path> root = NtfsFolder();
        if (!root) {
            if (NtfsRequired()) {
                FAIL() << "VARNOK_REQUIRE_NTFS=1, but VARNOK_NTFS_FOLDER names no mounted NTFS volume";
            }
            GTEST_SKIP() << "Not on NTFS: VARNOK_NTFS_FOLDER is not set (scripts/test sets it)";
        }
        const char* test_name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        folder_ = (*root / ("ntfs-facts-" + std::to_string(::GetCurrentProcessId()) + "-" + test_name)).wstring();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        ASSERT_TRUE(std::filesystem::create_directories(folder_));
        file_ = folder_ + L"\\setup.exe";
        ASSERT_TRUE(Write(file_, "MZ"));
    }
    void TearDown() override {
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }

    std::vector<std::wstring> Listing() const {
        std::vector<std::wstring> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().wstring());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::wstring folder_;
    std::wstring file_;
};

// A stream lives inside its file: the folder lists only the file, whose size is its own bytes; a
// delete takes the streams along (a file downloaded again must not keep the old record), and so
// does a rename; a stream alone goes without its file.
TEST_F(NtfsVolumeTest, StreamsLiveInsideTheirFile) {
    ASSERT_TRUE(Write(file_ + L":Zone.Identifier", "ZoneId=3\r\n"));
    EXPECT_EQ(Read(file_ + L":Zone.Identifier"), "ZoneId=3\r\n");
    EXPECT_EQ(Listing(), std::vector<std::wstring>{L"setup.exe"});
    EXPECT_EQ(std::filesystem::file_size(file_), 2u);

    const std::wstring renamed = folder_ + L"\\renamed.exe";
    ASSERT_TRUE(::MoveFileW(file_.c_str(), renamed.c_str()));
    EXPECT_EQ(Read(renamed + L":Zone.Identifier"), "ZoneId=3\r\n");
    EXPECT_EQ(Read(file_ + L":Zone.Identifier"), std::nullopt);

    ASSERT_TRUE(::DeleteFileW(renamed.c_str()));
    EXPECT_EQ(OpenError(renamed + L":Zone.Identifier", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);
    // (A name not opened before: for about a second ntfs-3g's name cache holds the deleted one.)
    ASSERT_TRUE(Write(renamed, "MZ again"));
    EXPECT_EQ(Read(renamed + L":varnok"), std::nullopt);
    ASSERT_TRUE(Write(renamed + L":note", "x"));
    ASSERT_TRUE(::DeleteFileW((renamed + L":note").c_str()));
    EXPECT_EQ(Read(renamed + L":note"), std::nullopt);
    EXPECT_EQ(Read(renamed), "MZ again");
}

// As on Windows, opening a stream of a missing file with OPEN_ALWAYS creates the file, empty.
TEST_F(NtfsVolumeTest, OpeningAStreamOfAMissingFileAlwaysCreatesTheFile) {
    const std::wstring missing = folder_ + L"\\gone.exe";
    EXPECT_EQ(OpenError(missing + L":varnok", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(OpenError(missing + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
    EXPECT_EQ(Read(missing), "");
    EXPECT_EQ(Read(missing + L":varnok"), "");
}

// Wine finds a file under any case by reading its folder, which lists no streams: a stream is found
// under its file's exact name alone, and OPEN_ALWAYS under another case makes a second file.
TEST_F(NtfsVolumeTest, AStreamIsFoundUnderItsFilesExactNameAlone) {
    const std::wstring other_case = folder_ + L"\\SETUP.EXE";
    ASSERT_TRUE(Write(file_ + L":Zone.Identifier", "ZoneId=3\r\n"));
    EXPECT_EQ(Read(other_case), "MZ");
    EXPECT_EQ(OpenError(other_case + L":Zone.Identifier", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(OpenError(other_case + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
    EXPECT_EQ(Listing(), (std::vector<std::wstring>{L"SETUP.EXE", L"setup.exe"}));
}

// Wine keeps one set of share modes for a file and all its streams (Windows: one per stream): a
// handle on a stream that shares nothing, or that writes, keeps the file from opening for reading
// with others allowed only to read, as the file's own writer does.
TEST_F(NtfsVolumeTest, ShareModesCoverAFileAndAllItsStreamsTogether) {
    const std::wstring zone = file_ + L":Zone.Identifier";
    ASSERT_TRUE(Write(zone, "ZoneId=3\r\n"));
    {
        const UniqueHandle hStream = Open(zone, GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(hStream);
        EXPECT_EQ(OpenError(file_, GENERIC_READ, kShareReadWrite), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenError(file_ + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SHARING_VIOLATION);
    }
    for (const std::wstring& writer : {file_ + L":varnok", file_}) {
        const UniqueHandle hWriter = Open(writer, GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS);
        ASSERT_TRUE(hWriter);
        EXPECT_EQ(Read(zone), "ZoneId=3\r\n");
        EXPECT_EQ(OpenError(file_, GENERIC_READ, FILE_SHARE_READ), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenError(file_, GENERIC_READ, kShareReadWrite), ERROR_SUCCESS);
    }
    EXPECT_EQ(OpenError(file_, GENERIC_READ, FILE_SHARE_READ), ERROR_SUCCESS);
}

// The creation time read is the last-write time, and one given to SetFileTime is dropped: the
// library's age test reads the last-write time.
TEST_F(NtfsVolumeTest, TheCreationTimeReadIsTheLastWriteTime) {
    const FILETIME two_days_ago = FromNow(-2 * 24 * 3600);
    const auto set_and_read = [&](const FILETIME* creation, const FILETIME* last_write) {
        const UniqueHandle hFile = Open(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES, kShareReadWrite, OPEN_EXISTING);
        FILETIME times[3]{};
        EXPECT_TRUE(::SetFileTime(hFile.Get(), creation, nullptr, last_write));
        EXPECT_TRUE(::GetFileTime(hFile.Get(), &times[0], &times[1], &times[2]));
        EXPECT_EQ(Ticks(times[0]), Ticks(times[2])) << "creation and last write differ";
        return Ticks(times[0]);
    };
    EXPECT_GT(set_and_read(&two_days_ago, nullptr), Ticks(two_days_ago) + 24 * 3600 * kTicksPerSecond);
    EXPECT_EQ(set_and_read(nullptr, &two_days_ago), Ticks(two_days_ago));
}

// This mount keeps no room for Wine's DOS attributes: hidden and read-only are dropped, so a
// read-only file's streams stay writable.
TEST_F(NtfsVolumeTest, HiddenAndReadOnlyAttributesAreNotKept) {
    ASSERT_TRUE(::SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(::GetFileAttributesW(file_.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
    EXPECT_EQ(OpenError(file_ + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
}

}  // namespace
}  // namespace varnok::test
