// What std::wregex itself answers for a key's value, to hold the linear matcher against, and the
// setting of a key spelled out line by line. Nothing here calls the code it checks. The key goes into
// the pattern escaped, as the literal text that the library reads it as, whatever it holds.
#pragma once

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace varnok {

inline std::wstring EscapedForPattern(const std::wstring& key) {
    std::wstring escaped;
    for (const wchar_t c : key) {
        if (std::wstring_view(L"^$\\.*+?()[]{}|").find(c) != std::wstring_view::npos) {
            escaped.push_back(L'\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

// ECMAScript's "^" matches only at the start of the text (without the multiline option), so a
// line start is that or a consumed LF or CR: group 1. The key is group 2, the value group 3.
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

// regex_replace with the value's "$" escaped, so that it lands as it is; the consumed line break
// goes back in front of the key.
inline std::wstring ReferenceReplace(const std::wstring& text, const std::wstring& key, const std::wstring& value) {
    std::wstring format = L"$1$2=";
    for (const wchar_t c : value) {
        format += c == L'$' ? std::wstring(L"$$") : std::wstring(1, c);
    }
    return std::regex_replace(text, ReferencePattern(key), format);
}

// What setting a key makes of the text: the replacement above when a
// line starts with the key, else the text with a line appended. Refused for a value that holds a
// line break or the end of text (0x1A), or a result that takes more than max_bytes on disk, where
// an LF takes two bytes (CR LF) and any other character one.
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
