// Files and streams for the Windows tests: scratch folders (on a real NTFS volume when the test
// command mounted one), streams written and read with the Windows API, the library's record as the
// tests expect it, file times moved into the past, and a record's lock held as another process holds it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "file_calls.h"
#include "record_format.h"
#include "stream_lock.h"
#include "tools/common/stream_bytes.h"
#include "unique_handle.h"

namespace varnok::test {

// How long a test waits for anything the library does: long enough for a loaded machine.
inline constexpr std::uint32_t kWaitMs = 20000;

// The values that every file event of a test carries, and that the host must get back unchanged.
inline constexpr std::uint32_t kEventValue1 = 0x1111;
inline constexpr std::uint32_t kEventValue2 = 0x2222;
inline constexpr std::uint32_t kEventValue3 = 0x3333;

// The Zone.Identifier of a download from a known host, as a browser writes it, and that host.
inline const std::string kDownloadZone = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.example/tool.exe\r\n";
inline const std::wstring kDownloadHost = L"https://downloads.example/tool.exe";

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One line of the record, as the library writes it (the test paths are ASCII).
inline std::string Line(const std::wstring& key, const std::string& value) {
    return Narrow(key) + "=" + value + "\r\n";
}

// The record as a scan leaves it on a file without an earlier one, its seal aside.
inline std::string Record(const std::wstring& host, std::int32_t result, const std::wstring& reported) {
    return Line(kHostUrl, Narrow(host)) + Line(kScanResult, std::to_string(result)) + Line(kFileName, Narrow(reported));
}

// The record's lines without those of its seal, which name the file and its version: what is left
// is what a test can know in advance.
inline std::string WithoutSeal(const std::string& record) {
    std::string kept;
    for (std::size_t start = 0, end = 0; start < record.size(); start = end) {
        end = std::min(record.find('\n', start), record.size() - 1) + 1;
        const std::string line = record.substr(start, end - start);
        const bool seal_line = std::any_of(kSealKeys.begin(), kSealKeys.end(), [&](const std::wstring* key) {
            return line.starts_with(Narrow(*key) + "=");
        });
        kept += seal_line ? "" : line;
    }
    return kept;
}

// The test command mounts a real NTFS volume and names a folder on it in VARNOK_NTFS_FOLDER, so that
// streams are true streams of their files; elsewhere Wine keeps "file:stream" as a file beside its
// file. CI also sets VARNOK_REQUIRE_NTFS=1: there a missing volume is a failure, never a quiet skip.
inline std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}
inline std::wstring NtfsFolder() { return EnvironmentValue(L"VARNOK_NTFS_FOLDER"); }

// Where the library can prove that a stream is its file's, and so keeps a record, only on the NTFS
// volume: a test of records skips elsewhere.
#define VARNOK_REQUIRE_NTFS_VOLUME()                                                                       \
    do {                                                                                                   \
        if (::varnok::test::NtfsFolder().empty()) {                                                        \
            if (::varnok::test::EnvironmentValue(L"VARNOK_REQUIRE_NTFS") == L"1") {                        \
                FAIL() << "VARNOK_REQUIRE_NTFS=1, but VARNOK_NTFS_FOLDER names no mounted NTFS volume";    \
            }                                                                                              \
            GTEST_SKIP() << "Records are kept only on NTFS: VARNOK_NTFS_FOLDER is not set (scripts/test)"; \
        }                                                                                                  \
    } while (false)

inline constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens a file or a stream by name, sharing reading and writing unless told otherwise.
inline UniqueHandle OpenName(const std::wstring& name, DWORD access, DWORD disposition, DWORD share = kShareReadWrite) {
    return UniqueHandle(::CreateFileW(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

inline void WriteStream(const std::wstring& file, const std::wstring& stream, const std::string& bytes) {
    const UniqueHandle handle = OpenName(file + L":" + stream, GENERIC_WRITE, CREATE_ALWAYS);
    DWORD written = 0;
    ASSERT_TRUE(handle && ::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// The stream's bytes, or nothing when it does not exist.
inline std::optional<std::string> ReadStream(const std::wstring& file, const std::wstring& stream) {
    return usage::ReadStreamBytes(file, stream);
}
inline std::optional<std::string> RecordOf(const std::wstring& file) { return ReadStream(file, kRecordStream); }
inline std::string UnsealedRecordOf(const std::wstring& file) { return WithoutSeal(RecordOf(file).value_or("")); }

// A fresh folder on the scratch volume (or under `parent`, on whatever file system that is), removed
// with everything in it.
struct TempFolder {
    std::filesystem::path path;

    // The scratch volume of the run, or the ordinary file system, for what Wine can show only there.
    enum class Volume { kScratch, kOrdinary };

    explicit TempFolder(Volume volume = Volume::kScratch)
        : TempFolder(volume == Volume::kScratch && !NtfsFolder().empty() ? std::filesystem::path(NtfsFolder())
                                                                         : std::filesystem::temp_directory_path()) {}

    explicit TempFolder(const std::filesystem::path& parent) {
        static std::atomic<unsigned> counter{0};
        path =
            parent / (L"varnok-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    // Creates a file with some content and returns its full path.
    std::wstring File(const std::wstring& name, const std::string& content = "content") const {
        std::ofstream(path / name, std::ios::binary) << content;
        return (path / name).wstring();
    }

    // A file downloaded with that Zone.Identifier, from the known host unless told otherwise.
    std::wstring Download(const std::wstring& name, const std::string& zone_identifier = kDownloadZone) const {
        const std::wstring file = File(name);
        WriteStream(file, L"Zone.Identifier", zone_identifier);
        return file;
    }
};

// What a query of the file layer (FactsOf, IdentityOf, SetLastWriteTime) answers of a handle of the file.
template <class Query>
auto OfFile(const std::wstring& file, Query query) {
    const UniqueHandle handle = OpenName(file, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, kShareAll);
    return query(handle.Get());
}

// Moves the file's times into the past. Under Wine, on NTFS too, the creation time reported is the
// last-write time, so that one has to move as well.
inline void AgeFile(const std::wstring& file, std::chrono::seconds age) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = ((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) -
                                static_cast<std::uint64_t>(age.count()) * 10000000;
    const FILETIME past{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const UniqueHandle handle = OpenName(file, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
    ASSERT_TRUE(handle && ::SetFileTime(handle.Get(), &past, &past, &past));
}

// Holds the lock of a file's record, as another process that can only read the file can, until
// released: the byte that stands for the whole stream.
struct LockedForEver {
    UniqueHandle holder;
    OVERLAPPED range{};
    explicit LockedForEver(const std::wstring& file)
        : holder(OpenName(file + L":" + kRecordStream, GENERIC_READ, OPEN_EXISTING, kShareAll)) {
        range.OffsetHigh = static_cast<DWORD>(kStreamLockOffset >> 32);
        EXPECT_TRUE(holder && ::LockFileEx(holder.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range));
    }
    void Release() { EXPECT_TRUE(::UnlockFileEx(holder.Get(), 0, 1, 0, &range)); }
};

}  // namespace varnok::test
