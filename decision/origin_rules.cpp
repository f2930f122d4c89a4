// The text rules of the origin: the decimal reading of ZoneId, and the ReferrerUrl judged in linear time.
#include "origin_rules.h"

#include <limits>
#include <string>
#include <vector>

namespace varnok {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

bool IsAsciiLower(wchar_t c) { return c >= L'a' && c <= L'z'; }
bool IsAsciiAlnum(wchar_t c) { return IsAsciiLower(c) || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9'); }
bool IsWordChar(wchar_t c) { return IsAsciiAlnum(c) || c == L'_'; }

// [-a-zA-Z0-9@:%._\+~#=]: the characters of the host part.
bool IsHostChar(wchar_t c) {
    return IsAsciiAlnum(c) || std::wstring_view(L"-@:%._+~#=").find(c) != std::wstring_view::npos;
}

// [-a-zA-Z0-9@:%_\+.~#?&//=]: the characters of the path part.
bool IsPathChar(wchar_t c) {
    return IsAsciiAlnum(c) || std::wstring_view(L"-@:%_+.~#?&/=").find(c) != std::wstring_view::npos;
}

}  // namespace

std::optional<std::int32_t> ParseDecimalInt32(std::wstring_view text) {
    std::size_t position = 0;
    while (position < text.size() && IsBlank(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == L'+' || text[position] == L'-')) {
        negative = text[position] == L'-';
        ++position;
    }
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                                        : std::numeric_limits<std::int32_t>::max();
    std::int64_t magnitude = 0;
    std::size_t digits = 0;
    for (; position < text.size() && text[position] >= L'0' && text[position] <= L'9'; ++position, ++digits) {
        magnitude = magnitude * 10 + (text[position] - L'0');
        if (magnitude > limit) {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

bool IsReferrerUrl(std::wstring_view text) {
    if (text.size() > kMaxReferrerLength) {
        return false;
    }
    // "https?://", then an optional "www." that the host part can also take as its own characters;
    // only the host part's bound of 256 characters counts without it.
    std::wstring_view rest;
    if (text.starts_with(L"https://")) {
        rest = text.substr(8);
    } else if (text.starts_with(L"http://")) {
        rest = text.substr(7);
    } else {
        return false;
    }
    const std::size_t size = rest.size();

    // path_from[i]: every character from i to the end belongs to the path part.
    std::vector<bool> path_from(size + 1, true);
    for (std::size_t i = size; i-- > 0;) {
        path_from[i] = path_from[i + 1] && IsPathChar(rest[i]);
    }

    const std::size_t max_dot = rest.starts_with(L"www.") ? 260 : 256;

    // Try each dot that may end the host part: 2 to 256 host characters, then a dot, then 2 to 4
    // lower-case letters, a word boundary, and the path part to the end.
    for (std::size_t dot = 0; dot < size && dot <= max_dot; ++dot) {
        if (dot >= 2 && rest[dot] == L'.') {
            for (std::size_t letters = 1; letters <= 4 && dot + letters < size && IsAsciiLower(rest[dot + letters]);
                 ++letters) {
                const std::size_t end = dot + letters + 1;
                if (letters >= 2 && (end == size || !IsWordChar(rest[end])) && path_from[end]) {
                    return true;
                }
            }
        }
        if (!IsHostChar(rest[dot])) {
            return false;  // no longer host part can hold this character
        }
    }
    return false;
}

}  // namespace varnok
