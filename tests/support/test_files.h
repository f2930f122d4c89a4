// Files and streams for the Windows tests (scratch folders, streams, records, aged files, held locks),
// and a rule over the library's file calls: made, failed, failed part-way, or blocked until cancelled.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "file_call_seam.h"
#include "file_calls.h"
#include "record_format.h"
#include "stream_lock.h"
#include "tools/common/stream_bytes.h"
#include "unique_handle.h"

namespace varnok::test {

// How long a test waits for anything the library does: long enough for a loaded machine.
inline constexpr std::uint32_t kWaitMs = 20000;

// The values every file event of a test carries, which the host must get back unchanged.
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

// The record's lines without those of its seal: what a test can know in advance.
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

// VARNOK_NTFS_FOLDER is on the NTFS volume, where streams are true ones; VARNOK_REQUIRE_NTFS=1 needs it.
inline std::wstring EnvironmentValue(const wchar_t* name) { return _wgetenv(name) ? _wgetenv(name) : L""; }
inline std::wstring NtfsFolder() { return EnvironmentValue(L"VARNOK_NTFS_FOLDER"); }

// Records are kept only where a stream is provably its file's: a test of records skips elsewhere.
#define VARNOK_REQUIRE_NTFS_VOLUME()                                                                       \
    do {                                                                                                   \
        if (::varnok::test::NtfsFolder().empty()) {                                                        \
            if (::varnok::test::EnvironmentValue(L"VARNOK_REQUIRE_NTFS") == L"1") {                        \
                FAIL() << "VARNOK_REQUIRE_NTFS=1, but VARNOK_NTFS_FOLDER names no mounted NTFS volume";    \
            }                                                                                              \
            GTEST_SKIP() << "Records are kept only on NTFS: VARNOK_NTFS_FOLDER is not set (scripts/test)"; \
        }                                                                                                  \
    } while (false)

inline UniqueHandle OpenName(const std::wstring& name, DWORD access, DWORD disposition,
                             DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    return UniqueHandle(::CreateFileW(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

inline void WriteStream(const std::wstring& file, const std::wstring& stream, const std::string& bytes) {
    const UniqueHandle handle = OpenName(file + L":" + stream, GENERIC_WRITE, CREATE_ALWAYS);
    DWORD written = 0;
    ASSERT_TRUE(handle && ::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

inline std::optional<std::string> ReadStream(const std::wstring& file, const std::wstring& stream) {
    return usage::ReadStreamBytes(file, stream);
}
inline std::optional<std::string> RecordOf(const std::wstring& file) { return ReadStream(file, kRecordStream); }
inline std::string UnsealedRecordOf(const std::wstring& file) { return WithoutSeal(RecordOf(file).value_or("")); }

// A fresh folder on the scratch volume, the ordinary file system or under `parent`, removed after.
struct TempFolder {
    std::filesystem::path path;
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

    std::wstring File(const std::wstring& name, const std::string& content = "content") const {
        std::ofstream(path / name, std::ios::binary) << content;
        return (path / name).wstring();
    }

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

// Moves the file's times into the past: Wine reports the last-write time as the creation time.
inline void AgeFile(const std::wstring& file, std::chrono::seconds age) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = ((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) -
                                static_cast<std::uint64_t>(age.count()) * 10000000;
    const FILETIME past{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const UniqueHandle handle = OpenName(file, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING);
    ASSERT_TRUE(handle && ::SetFileTime(handle.Get(), &past, &past, &past));
}

// Holds the lock of a file's record (the byte that stands for the stream) as a reader of the file can.
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

// ---- The file calls: a rule blocks what Wine can't make, as an oplock break nobody acknowledges ------

using SeamRule = std::function<FileCallOutcome(const FileCallSite& site)>;

inline std::mutex g_seam_rule_lock;
inline SeamRule g_seam_rule;

inline FileCallOutcome ApplySeamRule(const FileCallSite& site) {
    SeamRule rule;
    {
        const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
        rule = g_seam_rule;
    }
    return rule ? rule(site) : FileCallOutcome{};
}

class ScopedSeam {
public:
    explicit ScopedSeam(SeamRule rule) {
        {
            const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
            g_seam_rule = std::move(rule);
        }
        SetFileCallSeam(ApplySeamRule);
    }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;
    ~ScopedSeam() {
        SetFileCallSeam(nullptr);
        const std::lock_guard<std::mutex> lock(g_seam_rule_lock);
        g_seam_rule = nullptr;
    }
};

inline FileCallOutcome Proceed() { return {}; }
inline FileCallOutcome Fail(DWORD error) { return {FileCallAction::kFail, error, 0}; }
inline FileCallOutcome FailAfter(std::size_t bytes, DWORD error) {
    return {FileCallAction::kFailPartWay, error, bytes};
}

// Blocks that never ended by a cancel but by their own bound: each is a call the watch missed.
inline std::atomic<int> g_blocks_not_cancelled{0};
inline constexpr DWORD kBlockBoundMs = 30000;

// Blocks in a read that only the library's watch ends; past a generous bound it ends itself, counted.
inline FileCallOutcome BlockUntilCancelled() {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return Fail(::GetLastError());
    }
    const UniqueHandle reader(read_end);
    const UniqueHandle writer(write_end);
    const UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread bound([&] {
        if (::WaitForSingleObject(done.Get(), kBlockBoundMs) == WAIT_TIMEOUT) {
            DWORD written = 0;
            ::WriteFile(writer.Get(), "x", 1, &written, nullptr);
        }
    });
    char byte = 0;
    DWORD read = 0;
    const bool ended_by_itself = ::ReadFile(reader.Get(), &byte, 1, &read, nullptr) != FALSE;
    const DWORD error = ended_by_itself ? ERROR_TIMEOUT : ::GetLastError();
    ::SetEvent(done.Get());
    bound.join();
    if (ended_by_itself) {
        ++g_blocks_not_cancelled;
    }
    return Fail(error);
}

}  // namespace varnok::test
