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

std::string ReadWhole(const std::wstring& name) {
    const UniqueHandle file(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    std::string bytes(kStreamBufferBytes, '\0');
    DWORD read = 0;
    if (!file || !::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return {};
    }
    bytes.resize(read);
    return bytes;
}

// The "varnok" stream as the library leaves it after scanning the file with result 1. Each event
// rewrites it with the same text, so a file needs the whole work however often it comes back.
std::string VarnokStreamOf(const std::wstring& path, const std::string& host_url) {
    return "HostUrl=" + host_url + "\r\nScanResult=1\r\nFileName=" + Narrow(path) + "\r\n";
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

bool WriteDownloadedFile(const std::wstring& path, std::string_view file_name, std::string& varnok) {
    const std::string host_url = "https://downloads.example/tools/" + std::string(file_name);
    varnok = VarnokStreamOf(path, host_url);
    return WriteWhole(path, "MZ downloaded program") &&
           WriteWhole(path + L":Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + host_url + "\r\n") &&
           WriteWhole(path + L":varnok", varnok);
}

bool CreateBenchFiles(const std::filesystem::path& root, std::uint32_t count, std::uint32_t per_folder,
                      BenchFiles& files) {
    files.folder = (root.empty() ? std::filesystem::temp_directory_path() : root) /
                   (L"varnok-bench-" + std::to_wstring(::GetCurrentProcessId()));
    std::error_code error;
    std::filesystem::remove_all(files.folder, error);
    if (!std::filesystem::create_directories(files.folder, error)) {
        return false;
    }
    const auto padded = [](std::uint32_t number, std::size_t width) {
        const std::wstring digits = std::to_wstring(number);
        return std::wstring(digits.size() < width ? width - digits.size() : 0, L'0') + digits;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::filesystem::path folder = files.folder / (L"d" + padded(i / per_folder, 3));
        if (i % per_folder == 0 && !std::filesystem::create_directory(folder, error)) {
            return false;
        }
        const std::wstring name = L"f" + padded(i, 6) + L".exe";
        const std::wstring path = (folder / name).wstring();
        std::string varnok;
        if (!WriteDownloadedFile(path, Narrow(name), varnok)) {
            return false;
        }
        files.paths.push_back(path);
        files.varnok_streams.push_back(varnok);
    }
    return true;
}

bool FilesUnchanged(const BenchFiles& files) {
    for (std::size_t i = 0; i < files.paths.size(); i += files.paths.size() / 7) {
        if (ReadWhole(files.paths[i] + L":varnok") != files.varnok_streams[i]) {
            return false;
        }
    }
    return true;
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
