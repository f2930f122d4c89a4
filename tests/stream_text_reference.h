// What std::wregex answers for a key's value (the key escaped), and the setting of a key spelled out.
#pragma once

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace varnok {

inline std::wstring EscapedForPattern(const std::wstring& key) {
    return std::regex_replace(key, std::wregex(L"[\\^$\\\\.*+?()[\\]{}|]"), L"\\$&");
}

// "^" matches only at the text's start: a line start is that or a consumed LF or CR (group 1).
inline std::wregex ReferencePattern(const std::wstring& key) {
    return std::wregex(L"(^|[\\n\\r])(" + EscapedForPattern(key) + L")=s*(.+)");
}

inline std::optional<std::wstring> ReferenceValue(const std::wstring& text, const std::wstring& key) {
    std::wsmatch match;
    if (!std::regex_search(text, match, ReferencePattern(key))) {
        return std::nullopt;
    }
    return match[3].str();
}

// regex_replace with the value's "$" escaped; the consumed line break goes back before the key.
inline std::wstring ReferenceReplace(const std::wstring& text, const std::wstring& key, const std::wstring& value) {
    std::wstring format = L"$1$2=";
    for (const wchar_t c : value) {
        format += c == L'$' ? std::wstring(L"$$") : std::wstring(1, c);
    }
    return std::regex_replace(text, ReferencePattern(key), format);
}

// The replacement when a line starts with the key, else a line appended; refused for a value with a
// line break or 0x1A, or a result of more than max_bytes on disk (an LF takes two).
inline std::wstring ReferenceSet(const std::wstring& text, const std::wstring& key, const std::wstring& value,
                                 std::size_t max_bytes) {
    if (value.find_first_of(L"\n\r\x1A") != std::wstring::npos) {
        return text;
    }
    const std::wstring result = std::regex_search(text, std::wregex(L"(^|[\\n\\r])" + EscapedForPattern(key) + L"="))
                                    ? ReferenceReplace(text, key, value)
                                    : text + key + L"=" + value + L"\n";
    const auto saved_bytes = result.size() + static_cast<std::size_t>(std::count(result.begin(), result.end(), L'\n'));
    return saved_bytes <= max_bytes ? result : text;
}

}  // namespace varnok
