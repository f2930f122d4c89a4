// What Wine does with files on the test command's NTFS volume, as a host sees it through the Windows
// API. The library's decisions rest on these facts (where a stream lives, when it goes, what an
// open of a stream may create, which handles keep the file from opening, which time is the age), so
// a change of Wine or ntfs-3g that alters one of them fails here first. Off that volume there is
// nothing to pin: the tests skip, unless CI demands the volume.
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
    return handle && ::WriteFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::optional<std::string> Read(const std::wstring& name) {
    const UniqueHandle handle = Open(name, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    if (!handle) {
        return std::nullopt;
    }
    std::string bytes(4096, '\0');
    DWORD read = 0;
    if (!::ReadFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
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
                FAIL() << "VARNOK_REQUIRE_NTFS=1, but no NTFS volume was mounted (VARNOK_NTFS_FOLDER is not set)";
            }
            GTEST_SKIP() << "Not on NTFS: VARNOK_NTFS_FOLDER is not set (scripts/test sets it once it has mounted "
                            "its NTFS volume); these facts hold only there";
        }
        folder_ = (*root / (L"ntfs-facts-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            Widen(::testing::UnitTest::GetInstance()->current_test_info()->name())))
                      .wstring();
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

    static std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

    std::vector<std::wstring> Listing() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found{};
        const HANDLE hFind = ::FindFirstFileW((folder_ + L"\\*").c_str(), &found);
        if (hFind == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
        } while (::FindNextFileW(hFind, &found));
        ::FindClose(hFind);
        return names;
    }

    std::wstring folder_;
    std::wstring file_;
};

// A stream lives inside its file: the folder lists only the file, whose size is its own bytes.
TEST_F(NtfsVolumeTest, AStreamIsPartOfItsFileAndNoEntryOfTheFolder) {
    ASSERT_TRUE(Write(file_ + L":Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n"));
    EXPECT_EQ(Read(file_ + L":Zone.Identifier"), "[ZoneTransfer]\r\nZoneId=3\r\n");
    EXPECT_EQ(Read(file_), "MZ");
    EXPECT_EQ(Listing(), std::vector<std::wstring>{L"setup.exe"});

    const UniqueHandle hFile = Open(file_, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
    LARGE_INTEGER size{};
    ASSERT_TRUE(::GetFileSizeEx(hFile.get(), &size));
    EXPECT_EQ(size.QuadPart, 2);
}

// A file deleted and downloaded again at the same path must not keep the old file's record.
TEST_F(NtfsVolumeTest, DeletingAFileDeletesItsStreams) {
    ASSERT_TRUE(Write(file_ + L":varnok", "ScanResult=2\r\n"));
    ASSERT_TRUE(::DeleteFileW(file_.c_str()));
    EXPECT_EQ(OpenError(file_ + L":varnok", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(Write(file_, "MZ again"));
    EXPECT_EQ(Read(file_ + L":varnok"), std::nullopt);
    EXPECT_EQ(Listing(), std::vector<std::wstring>{L"setup.exe"});

    // A stream alone goes without its file. (Another name than before: for about a second after the
    // delete, ntfs-3g's name cache still holds the old "setup.exe:varnok", and creating it fails.)
    ASSERT_TRUE(Write(file_ + L":note", "x"));
    ASSERT_TRUE(::DeleteFileW((file_ + L":note").c_str()));
    EXPECT_EQ(Read(file_ + L":note"), std::nullopt);
    EXPECT_EQ(Read(file_), "MZ again");
}

// NTFS takes names without regard to case, and Wine finds a file under any case by reading its
// folder; but the folder lists no streams, so a stream is found under its file's exact name alone,
// and opening it with OPEN_ALWAYS under another case makes a second file of that name.
TEST_F(NtfsVolumeTest, AStreamIsFoundUnderItsFilesExactNameAlone) {
    const std::wstring other_case = folder_ + L"\\SETUP.EXE";
    ASSERT_TRUE(Write(file_ + L":Zone.Identifier", "ZoneId=3\r\n"));
    EXPECT_EQ(Read(other_case), "MZ");
    EXPECT_EQ(OpenError(other_case + L":Zone.Identifier", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(OpenError(other_case + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
    std::vector<std::wstring> names = Listing();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"SETUP.EXE", L"setup.exe"}));
}

// A renamed file takes its streams along.
TEST_F(NtfsVolumeTest, ARenamedFileKeepsItsStreams) {
    const std::wstring renamed = folder_ + L"\\renamed.exe";
    ASSERT_TRUE(Write(file_ + L":Zone.Identifier", "ZoneId=3\r\n"));
    ASSERT_TRUE(::MoveFileW(file_.c_str(), renamed.c_str()));
    EXPECT_EQ(Read(renamed + L":Zone.Identifier"), "ZoneId=3\r\n");
    EXPECT_EQ(Read(file_ + L":Zone.Identifier"), std::nullopt);
}

// As on Windows, opening a stream of a missing file with OPEN_ALWAYS creates the file, empty.
TEST_F(NtfsVolumeTest, OpeningAStreamOfAMissingFileAlwaysCreatesTheFile) {
    const std::wstring missing = folder_ + L"\\gone.exe";
    EXPECT_EQ(OpenError(missing + L":varnok", GENERIC_READ, kShareReadWrite), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_EQ(OpenError(missing + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
    const DWORD attributes = ::GetFileAttributesW(missing.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(Read(missing), "");
    EXPECT_EQ(Read(missing + L":varnok"), "");
}

// Wine keeps the share modes of a file and of all its streams as those of one file, where Windows
// keeps them per stream: a handle on any stream that shares nothing, or that writes, keeps the file
// from opening for reading with others allowed only to read, so the library then finds the file
// "being written". Within that, the usual rules hold.
TEST_F(NtfsVolumeTest, ShareModesCoverAFileAndAllItsStreamsTogether) {
    const std::wstring zone = file_ + L":Zone.Identifier";
    ASSERT_TRUE(Write(zone, "ZoneId=3\r\n"));
    {
        const UniqueHandle hStream = Open(zone, GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(hStream);
        EXPECT_EQ(OpenError(file_, GENERIC_READ, kShareReadWrite), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenError(file_ + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SHARING_VIOLATION);
    }
    {
        const UniqueHandle hStreamWriter = Open(file_ + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS);
        ASSERT_TRUE(hStreamWriter);
        EXPECT_EQ(OpenError(file_, GENERIC_READ, FILE_SHARE_READ), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenError(file_, GENERIC_READ, kShareReadWrite), ERROR_SUCCESS);
    }
    {
        // The file being written by another handle that lets others read and write: its streams
        // still read, the file does not open for reading with others allowed only to read.
        const UniqueHandle hWriter = Open(file_, GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING);
        ASSERT_TRUE(hWriter);
        EXPECT_EQ(Read(zone), "ZoneId=3\r\n");
        EXPECT_EQ(OpenError(file_, GENERIC_READ, FILE_SHARE_READ), ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(OpenError(file_, GENERIC_READ, FILE_SHARE_READ), ERROR_SUCCESS);
}

// Wine reports the last-write time as the creation time and drops a creation time given to
// SetFileTime, on NTFS as on ext4: the library's age test reads the last-write time.
TEST_F(NtfsVolumeTest, TheCreationTimeReadIsTheLastWriteTime) {
    const auto times = [&](FILETIME& creation, FILETIME& last_write) {
        const UniqueHandle hFile = Open(file_, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
        FILETIME last_access{};
        ASSERT_TRUE(::GetFileTime(hFile.get(), &creation, &last_access, &last_write));
    };
    const auto set_times = [&](const FILETIME* creation, const FILETIME* last_write) {
        const UniqueHandle hFile = Open(file_, FILE_WRITE_ATTRIBUTES, kShareReadWrite, OPEN_EXISTING);
        ASSERT_TRUE(::SetFileTime(hFile.get(), creation, nullptr, last_write));
    };
    const FILETIME two_days_ago = FromNow(-2 * 24 * 3600);
    const FILETIME in_an_hour = FromNow(3600);
    FILETIME creation{};
    FILETIME last_write{};

    set_times(&two_days_ago, nullptr);
    times(creation, last_write);
    EXPECT_GT(Ticks(creation), Ticks(two_days_ago) + 24 * 3600 * kTicksPerSecond) << "the creation time was kept";
    EXPECT_EQ(Ticks(creation), Ticks(last_write));

    set_times(nullptr, &two_days_ago);
    times(creation, last_write);
    EXPECT_EQ(Ticks(last_write), Ticks(two_days_ago));
    EXPECT_EQ(Ticks(creation), Ticks(two_days_ago));

    set_times(nullptr, &in_an_hour);
    times(creation, last_write);
    EXPECT_EQ(Ticks(creation), Ticks(in_an_hour));
}

// ntfs-3g mounted this way keeps no place where Wine stores the DOS attributes: setting hidden or
// read-only succeeds and leaves nothing behind, so a read-only file's streams stay writable.
TEST_F(NtfsVolumeTest, HiddenAndReadOnlyAttributesAreNotKept) {
    ASSERT_TRUE(::SetFileAttributesW(file_.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    const DWORD attributes = ::GetFileAttributesW(file_.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
    EXPECT_EQ(OpenError(file_ + L":varnok", GENERIC_WRITE, kShareReadWrite, OPEN_ALWAYS), ERROR_SUCCESS);
}

}  // namespace
}  // namespace varnok::test
