// What std::wregex itself answers for a key's value, to hold the linear matcher against.
#pragma once

#include <optional>
#include <regex>
#include <string>

namespace varnok {

inline std::wregex ReferencePattern(const std::wstring& key) { return std::wregex(L"(" + key + L")=s*(.+)"); }

inline std::optional<std::wstring> ReferenceValue(const std::wstring& text, const std::wstring& key) {
    std::wsmatch match;
    if (!std::regex_search(text, match, ReferencePattern(key))) {
        return std::nullopt;
    }
    return match[2].str();
}

// regex_replace with the value's "$" escaped, so that it lands as it is.
inline std::wstring ReferenceReplace(const std::wstring& text, const std::wstring& key, const std::wstring& value) {
    std::wstring format = L"$1=";
    for (const wchar_t c : value) {
        format += c == L'$' ? std::wstring(L"$$") : std::wstring(1, c);
    }
    return std::regex_replace(text, ReferencePattern(key), format);
}

}  // namespace varnok
