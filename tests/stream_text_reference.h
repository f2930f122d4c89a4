// What std::wregex itself answers for a key's value, to hold the linear matcher against, and the
// setting of a key spelled out line by line. Nothing here calls the code it checks.
#pragma once

#include <algorithm>
#include <optional>
#include <regex>
#include <string>

namespace varnok {

// ECMAScript's "^" matches only at the start of the text (without the multiline option), so a
// line start is that or a consumed LF or CR: group 1. The key is group 2, the value group 3.
inline std::wregex ReferencePattern(const std::wstring& key) {
    return std::wregex(L"(^|[\\n\\r])(" + key + L")=s*(.+)");
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

// Whether a line of the text (at its start, or after LF or CR) begins with key + "=".
inline bool ReferenceHasKeyLine(const std::wstring& text, const std::wstring& key) {
    const std::wstring probe = key + L"=";
    for (std::size_t start = 0; start <= text.size(); ++start) {
        const bool line_start = start == 0 || text[start - 1] == L'\n' || text[start - 1] == L'\r';
        if (line_start && text.compare(start, probe.size(), probe) == 0) {
            return true;
        }
    }
    return false;
}

// What setting a key makes of the text: refused for a value that holds a line break or the end of
// text (0x1A), or a result that takes more than max_bytes on disk, where each LF is written as CR LF
// and every other character as one byte.
inline std::wstring ReferenceSet(const std::wstring& text, const std::wstring& key, const std::wstring& value,
                                 std::size_t max_bytes) {
    if (value.find_first_of(L"\n\r\x1A") != std::wstring::npos) {
        return text;
    }
    const std::wstring result =
        ReferenceHasKeyLine(text, key) ? ReferenceReplace(text, key, value) : text + key + L"=" + value + L"\n";
    const auto saved_bytes = result.size() + static_cast<std::size_t>(std::count(result.begin(), result.end(), L'\n'));
    return saved_bytes <= max_bytes ? result : text;
}

}  // namespace varnok
