#include "tools/bench/bench_files.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <system_error>

#include "unique_handle.h"
#include "wire.h"

namespace bench {
namespace {

using varnok::UniqueHandle;

bool WriteWhole(const std::wstring& name, std::string_view bytes) {
    const UniqueHandle file(::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring Padded(std::uint32_t number, std::size_t width) {
    const std::wstring digits = std::to_wstring(number);
    return std::wstring(digits.size() < width ? width - digits.size() : 0, L'0') + digits;
}

// Makes the set's files under folder\<set name>: the i-th of the scenario scenario_of(i).
template <class ScenarioOf>
bool CreateSet(const std::filesystem::path& folder, const std::wstring& set_name, std::uint32_t count,
               std::uint32_t per_folder, ScenarioOf scenario_of, FileSet& set) {
    std::error_code error;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Scenario scenario = scenario_of(i);
        const std::filesystem::path sub_folder = folder / set_name /
                                                 std::wstring(kScenarioFolders[static_cast<std::uint32_t>(scenario)]) /
                                                 (L"d" + Padded(i / per_folder, 3));
        std::filesystem::create_directories(sub_folder, error);
        const std::wstring name = L"f" + Padded(i, 6) + L".exe";
        const std::wstring path = (sub_folder / name).wstring();
        const bool written = scenario == Scenario::kNoOrigin ? WriteWhole(path, "MZ local program")
                                                             : WriteDownloadedFile(path, Narrow(name));
        if (!written) {
            return false;
        }
        set.paths.push_back(path);
        set.scenarios.push_back(scenario);
    }
    return true;
}

}  // namespace

std::string Narrow(std::wstring_view text) {
    std::string bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

BenchFiles::~BenchFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

bool WriteDownloadedFile(const std::wstring& path, std::string_view file_name) {
    const std::string host_url = "https://downloads.example/tools/" + std::string(file_name);
    return WriteWhole(path, "MZ downloaded program") &&
           WriteWhole(path + L":Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + host_url + "\r\n");
}

bool CreateBenchFiles(const std::filesystem::path& root, const FileCounts& counts, BenchFiles& files) {
    files.folder = (root.empty() ? std::filesystem::temp_directory_path() : root) /
                   (L"varnok-bench-" + std::to_wstring(::GetCurrentProcessId()));
    std::error_code error;
    std::filesystem::remove_all(files.folder, error);
    if (!std::filesystem::create_directories(files.folder, error)) {
        return false;
    }
    for (const Scenario scenario : {Scenario::kNoOrigin, Scenario::kRescan, Scenario::kSpared}) {
        const auto kind = static_cast<std::uint32_t>(scenario);
        if (!CreateSet(
                files.folder, L"repeated", counts.repeated, counts.per_folder, [&](std::uint32_t) { return scenario; },
                files.repeated[kind])) {
            return false;
        }
    }
    // The fresh downloads and the mix per client: a record just taken away is not made again at once
    // (ntfs-3g refuses for a moment to make a stream name it has just seen go).
    for (std::uint32_t run = 0; run < kRunKinds; ++run) {
        for (std::uint32_t client = 0; client < 2; ++client) {
            const std::wstring suffix = std::to_wstring(client) + L"-" + std::to_wstring(run);
            if (!CreateSet(
                    files.folder, L"fresh-" + suffix, counts.per_run[run], counts.per_folder,
                    [](std::uint32_t) { return Scenario::kFreshDownload; }, files.fresh[client][run]) ||
                !CreateSet(files.folder, L"mix-" + suffix, counts.per_run[run], counts.per_folder, MixScenarioAt,
                           files.mix[client][run])) {
                return false;
            }
        }
    }
    return true;
}

void DropRecords(const FileSet& set) {
    for (std::size_t i = 0; i < set.paths.size(); ++i) {
        if (set.scenarios[i] == Scenario::kFreshDownload) {
            ::DeleteFileW((set.paths[i] + L":varnok").c_str());
        }
    }
}

std::uint32_t FileIndexOf(const wchar_t* path) {
    const wchar_t* const name = std::wcsrchr(path, L'\\');
    std::uint32_t index = 0;
    for (const wchar_t* digit = name != nullptr ? name + 2 : path; *digit >= L'0' && *digit <= L'9'; ++digit) {
        index = index * 10 + static_cast<std::uint32_t>(*digit - L'0');
    }
    return index;
}

std::vector<std::byte> NotificationBody(const std::wstring& path, std::uint32_t value1, std::uint32_t value2,
                                        std::uint32_t value3) {
    constexpr std::size_t kFixedBytes = offsetof(varnok::ScanNotification, FileName);
    std::vector<std::byte> body(kFixedBytes + (path.size() + 1) * sizeof(wchar_t));
    varnok::ScanNotification head{};
    head.Kind = varnok::kKindFileEvent;
    head.Value1 = value1;
    head.Value2 = value2;
    head.Value3 = value3;
    std::memcpy(body.data(), &head, kFixedBytes);
    std::memcpy(body.data() + kFixedBytes, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return body;
}

}  // namespace bench
