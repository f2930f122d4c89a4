// Text rules of the origin evaluation that need no Windows API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnok {

// A base-10 number as the library has always read ZoneId and ScanResult: leading white space
// skipped, an optional sign, at least one digit, anything after the digits ignored. Nothing when
// there is no digit or the number leaves the signed 32-bit range.
std::optional<std::int32_t> ParseDecimalInt32(std::wstring_view text);

// The longest referrer that is judged; a longer one counts as no URL.
inline constexpr std::size_t kMaxReferrerLength = 2048;

// Whether the whole text is a URL of the form
//   https?:\/\/(www\.)?[-a-zA-Z0-9@:%._\+~#=]{2,256}\.[a-z]{2,4}\b([-a-zA-Z0-9@:%_\+.~#?&//=]*)
// judged in time linear in its length (the pattern's nested quantifiers backtrack heavily in a
// regex engine).
bool IsReferrerUrl(std::wstring_view text);

}  // namespace varnok
