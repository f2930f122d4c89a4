// The benchmark's files: downloaded programs with their origin and an earlier result, made before
// the runs and removed after them, and the notification bodies that name them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Enough for every stream the benchmark writes.
inline constexpr std::size_t kStreamBufferBytes = std::size_t{64} * 1024;

// N downloaded files, fresh (created now, so within the age limit), each with a Zone.Identifier of
// the internet zone with a HostUrl and a "varnok" stream from an earlier event whose scan was not
// clean. No SmartScreen stream. Named "dNNN\\fNNNNNN.exe" under one folder of the process, which
// the record removes with everything in it. Touched by the main thread only.
struct BenchFiles {
    std::filesystem::path folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> varnok_streams;

    BenchFiles() = default;
    BenchFiles(const BenchFiles&) = delete;
    BenchFiles& operator=(const BenchFiles&) = delete;
    ~BenchFiles();
};

bool CreateBenchFiles(const std::filesystem::path& root, std::uint32_t count, std::uint32_t per_folder,
                      BenchFiles& files);

// Writes one such downloaded file at `path` with its two streams; the "varnok" stream's text goes
// to `varnok`. False when a write failed.
bool WriteDownloadedFile(const std::wstring& path, std::string_view file_name, std::string& varnok);

// True when the "varnok" streams of a sample of the files still hold what they were made with.
bool FilesUnchanged(const BenchFiles& files);

// The file's index, from the digits of its name "f000123.exe".
std::uint32_t FileIndexOf(const wchar_t* path);

// The notification body of a file event for `path`, cut after the file name as the driver sends it.
// Its EventId is left 0 for the poster to fill in.
std::vector<std::byte> NotificationBody(const std::wstring& path, std::uint32_t value1, std::uint32_t value2,
                                        std::uint32_t value3);

// Text the benchmark makes is ASCII: one byte per character.
std::string Narrow(std::wstring_view text);

}  // namespace bench
