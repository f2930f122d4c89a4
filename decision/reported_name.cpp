#include "reported_name.h"

#include <array>

namespace varnok {
namespace {

constexpr std::wstring_view kDataStreamType = L"$DATA";

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t ToAsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Stream types are told apart without regard to case, as the file system does.
bool IsDataStreamType(std::wstring_view type) {
    if (type.size() != kDataStreamType.size()) {
        return false;
    }
    for (std::size_t i = 0; i < type.size(); ++i) {
        if (ToAsciiUpper(type[i]) != kDataStreamType[i]) {
            return false;
        }
    }
    return true;
}

// Where the last component of the name begins: after its last separator, and after a drive that
// begins the name or follows a device prefix (the colon of "C:" names no stream).
std::size_t LastComponent(std::wstring_view name) {
    const std::size_t separator = name.find_last_of(L"\\/");
    const std::size_t start = separator == std::wstring_view::npos ? 0 : separator + 1;
    constexpr std::array<std::wstring_view, 3> kDevicePrefixes = {L"\\\\?\\", L"\\\\.\\", L"\\??\\"};
    const std::wstring_view before = name.substr(0, start);
    const bool drive_may_follow =
        before.empty() || before == kDevicePrefixes[0] || before == kDevicePrefixes[1] || before == kDevicePrefixes[2];
    if (drive_may_follow && name.size() >= start + 2 && IsAsciiLetter(name[start]) && name[start + 1] == L':') {
        return start + 2;
    }
    return start;
}

}  // namespace

std::optional<std::wstring> StreamOwnerName(std::wstring_view reported_name) {
    const std::size_t colon = reported_name.find(L':', LastComponent(reported_name));
    if (colon == std::wstring_view::npos) {
        return std::wstring(reported_name);
    }
    // "name:stream" or "name:stream:type".
    const std::wstring_view stream = reported_name.substr(colon + 1);
    const std::size_t type_colon = stream.find(L':');
    const bool unnamed = stream.substr(0, type_colon).empty();
    const bool data = type_colon == std::wstring_view::npos || IsDataStreamType(stream.substr(type_colon + 1));
    if (unnamed && data) {
        return std::wstring(reported_name.substr(0, colon));
    }
    return std::nullopt;
}

}  // namespace varnok
