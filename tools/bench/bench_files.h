// The benchmark's files: for each scenario a set of files made before the runs, in a folder of the
// scenario's name, and removed with everything after them; and the notification bodies that name
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/bench/bench_scenarios.h"

namespace bench {

// Enough for every stream the benchmark writes.
inline constexpr std::size_t kStreamBufferBytes = std::size_t{64} * 1024;

// Files named "...\<set>\<scenario>\dNNN\fNNNNNN.exe", numbered from 0 in the set, each of its
// scenario: plain for no origin; with a Zone.Identifier of the internet zone with a HostUrl for the
// others, and no record yet (the runs make it, or take it away for a fresh download). A set of the
// mix holds at each number a file of the mix's scenario at that position.
struct FileSet {
    std::vector<std::wstring> paths;
    std::vector<Scenario> scenarios;  // of each file
};

// The two measured runs of every client: with one event in flight and with 25.
inline constexpr std::uint32_t kRunKinds = 2;

// Everything the benchmark makes, under one folder of the process. Touched by the main thread only.
struct BenchFiles {
    std::filesystem::path folder;
    FileSet repeated[kScenarioCount];  // no origin, rescan, spared: the same files over and over
    FileSet fresh[2][kRunKinds];       // fresh downloads, one set per client and run: each used once
    FileSet mix[2][kRunKinds];         // the mix, one file per position, per client and run

    BenchFiles() = default;
    BenchFiles(const BenchFiles&) = delete;
    BenchFiles& operator=(const BenchFiles&) = delete;
    ~BenchFiles();
};

struct FileCounts {
    std::uint32_t repeated = 0;          // files of each repeated scenario
    std::uint32_t per_run[kRunKinds]{};  // events of each run kind: files of each fresh set and mix
    std::uint32_t per_folder = 0;
};

bool CreateBenchFiles(const std::filesystem::path& root, const FileCounts& counts, BenchFiles& files);

// Writes one downloaded file at `path` with its Zone.Identifier. False when a write failed.
bool WriteDownloadedFile(const std::wstring& path, std::string_view file_name);

// Takes away the records of the set's fresh downloads, so that their next events are first events.
void DropRecords(const FileSet& set);

// The file's number, from the digits of its name "f000123.exe".
std::uint32_t FileIndexOf(const wchar_t* path);

// The notification body of a file event for `path`, cut after the file name as the driver sends it.
// Its EventId is left 0 for the poster to fill in.
std::vector<std::byte> NotificationBody(const std::wstring& path, std::uint32_t value1, std::uint32_t value2,
                                        std::uint32_t value3);

// Text the benchmark makes is ASCII: one byte per character.
std::string Narrow(std::wstring_view text);

}  // namespace bench
