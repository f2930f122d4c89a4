#include "tools/sample_host/scanner.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

#include "unique_handle.h"

namespace sample_host {
namespace {

// Every character of the test string one code higher. The shift comes from a volatile, so the
// compiler cannot work the text out while it builds and leave it whole in the program.
constexpr std::string_view kShiftedTestString =
    "Y6P\"Q&ABQ\\5]Q[Y65)Q_*8DD*8~%FJDBS.TUBOEBSE.BOUJWJSVT.UFTU.GJMF\"%I,I+";
volatile int g_test_string_shift = 1;

constexpr DWORD kReadChunk = 64 * 1024;

}  // namespace

std::string AntivirusTestString() {
    const int shift = g_test_string_shift;
    std::string text;
    text.reserve(kShiftedTestString.size());
    for (const char c : kShiftedTestString) {
        text.push_back(static_cast<char>(c - shift));
    }
    return text;
}

std::int32_t ScanFile(const std::wstring& path) {
    // Shares everything: the scan must not get in the way of programs that use the file.
    const varnok::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        return kVerdictNotRead;
    }
    const std::string needle = AntivirusTestString();
    // The window holds the end of the previous chunk, so a string split across two reads is found.
    std::string window;
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), chunk.data(), kReadChunk, &read, nullptr)) {
            return kVerdictNotRead;
        }
        if (read == 0) {
            return kVerdictClean;
        }
        window.append(chunk.data(), read);
        if (window.find(needle) != std::string::npos) {
            return kVerdictTestFileFound;
        }
        const std::size_t keep = std::min(window.size(), needle.size() - 1);
        window.erase(0, window.size() - keep);
    }
}

}  // namespace sample_host
