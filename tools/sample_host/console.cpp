#include "tools/sample_host/console.h"

#include <windows.h>

#include <mutex>
#include <string>

namespace sample_host {
namespace {

std::mutex& OutputMutex() {
    static std::mutex mutex;
    return mutex;
}

void WriteLine(DWORD std_handle, std::wstring_view text) {
    std::wstring line(text);
    line += L'\n';
    const std::lock_guard<std::mutex> lock(OutputMutex());
    const HANDLE output = ::GetStdHandle(std_handle);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(output, &mode)) {
        ::WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    // Redirected to a file or a pipe: UTF-8, which every reader of the output can take.
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size, nullptr, nullptr);
    ::WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void PrintLine(std::wstring_view text) { WriteLine(STD_OUTPUT_HANDLE, text); }

void PrintErrorLine(std::wstring_view text) { WriteLine(STD_ERROR_HANDLE, text); }

std::wstring HexText(std::uint32_t value) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x00000000";
    for (std::size_t i = text.size() - 1; value != 0; --i, value >>= 4) {
        text[i] = kDigits[value & 0xFu];
    }
    return text;
}

std::wstring WidenBytes(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace sample_host
