// The text of a stream: its bytes decoded and encoded, and a key's value found and set in linear time.
#include "stream_text.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "trace.h"

namespace varnok {
namespace {

constexpr unsigned char kEndOfTextByte = 0x1A;
constexpr wchar_t kLineSeparator = L'\u2028';
constexpr wchar_t kParagraphSeparator = L'\u2029';

// The characters that ECMAScript's "." does not match, so that a value never runs past them.
bool EndsLine(wchar_t c) { return c == L'\n' || c == L'\r' || c == kLineSeparator || c == kParagraphSeparator; }

// A line starts at the start of the text and after LF or CR; not after U+2028 or U+2029, which end
// a value in memory but never reach a stream (no byte holds them).
bool BreaksLine(wchar_t c) { return c == L'\n' || c == L'\r'; }
bool StartsLine(std::wstring_view text, std::size_t position) {
    return position == 0 || BreaksLine(text[position - 1]);
}

// The rest of a match whose key + "=" ends at `after_equals`. The s* is greedy, so it takes the
// whole run of s; when no value character follows the run, it gives back one s to (.+), and with
// no s to give back there is no match at this position.
std::optional<KeyValueMatch> MatchAfterProbe(std::wstring_view text, std::size_t begin, std::size_t after_equals) {
    std::size_t run_end = after_equals;
    while (run_end < text.size() && text[run_end] == L's') {
        ++run_end;
    }
    if (run_end < text.size() && !EndsLine(text[run_end])) {
        std::size_t end = run_end + 1;
        while (end < text.size() && !EndsLine(text[end])) {
            ++end;
        }
        return KeyValueMatch{begin, run_end, end};
    }
    if (run_end > after_equals) {
        return KeyValueMatch{begin, run_end - 1, run_end};
    }
    return std::nullopt;
}

}  // namespace

std::wstring DecodeStreamBytes(std::string_view bytes) {
    std::wstring text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == kEndOfTextByte) {
            break;
        }
        if (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            text.push_back(L'\n');
            ++i;
            continue;
        }
        text.push_back(static_cast<wchar_t>(byte));
    }
    return text;
}

StreamText DecodeStream(std::string_view bytes, bool bytes_are_whole) {
    StreamText decoded;
    decoded.text = DecodeStreamBytes(bytes);
    const std::size_t end_of_text = bytes.find(static_cast<char>(kEndOfTextByte));
    if (end_of_text != std::string_view::npos && end_of_text + 1 < bytes.size()) {
        decoded.whole = false;
    }
    if (!bytes_are_whole) {
        decoded.whole = false;
        // Unless a byte 0x1A ended the text first, its last line ran into the cut.
        if (end_of_text == std::string_view::npos) {
            const std::size_t last_line_end = decoded.text.find_last_of(L"\n\r");
            decoded.text.resize(last_line_end == std::wstring::npos ? 0 : last_line_end + 1);
        }
    }
    return decoded;
}

std::string EncodeStreamText(std::wstring_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'\n') {
            bytes.append("\r\n");
            continue;
        }
        const auto code = static_cast<std::uint32_t>(c);
        bytes.push_back(code <= 0xFF ? static_cast<char>(static_cast<unsigned char>(code)) : '?');
    }
    return bytes;
}

KeyPattern MakeKeyPattern(std::wstring_view key) {
    KeyPattern pattern;
    pattern.probe.reserve(key.size() + 1);
    pattern.probe.append(key);
    pattern.probe.push_back(L'=');
    const std::wstring& probe = pattern.probe;
    pattern.border.assign(probe.size() + 1, 0);
    for (std::size_t i = 1; i < probe.size(); ++i) {
        std::size_t length = pattern.border[i];
        while (length > 0 && probe[i] != probe[length]) {
            length = pattern.border[length];
        }
        if (probe[i] == probe[length]) {
            ++length;
        }
        pattern.border[i + 1] = length;
    }
    return pattern;
}

std::size_t EncodedStreamSize(std::wstring_view text) {
    return text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), L'\n'));
}

namespace {

// The first place at or after `from` where the probe stands at the start of a line and `accept`
// takes it, found by a single left-to-right pass over every occurrence of the probe, overlapping
// ones included ("aa" in "\naaa=" occurs at 1 and 2).
template <class Accept>
auto FindProbeAtLineStart(const KeyPattern& pattern, std::wstring_view text, std::size_t from, Accept accept)
    -> decltype(accept(std::size_t{})) {
    const std::wstring& probe = pattern.probe;
    std::size_t matched = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        while (matched > 0 && text[i] != probe[matched]) {
            matched = pattern.border[matched];
        }
        if (text[i] == probe[matched]) {
            ++matched;
        }
        if (matched == probe.size()) {
            const std::size_t begin = i + 1 - probe.size();
            if (StartsLine(text, begin)) {
                if (auto found = accept(begin)) {
                    return found;
                }
            }
            matched = pattern.border[matched];
        }
    }
    return std::nullopt;
}

// Whether some line of the text starts with the probe.
bool HasProbeAtLineStart(const KeyPattern& pattern, std::wstring_view text) {
    return FindProbeAtLineStart(pattern, text, 0, [](std::size_t begin) { return std::optional<std::size_t>(begin); })
        .has_value();
}

// The text with every match replaced, or nothing when it would take more than max_bytes on disk.
// A search goes on at the end of the previous match; matches are never empty, so no position is
// visited twice. The size is worked out before anything is built, so a refused change costs no
// memory.
std::optional<std::wstring> ReplaceKeyValues(const std::wstring& text, const std::wstring& key,
                                             const std::wstring& value, std::size_t max_bytes) {
    const KeyPattern pattern = MakeKeyPattern(key);
    // A match is the key, "=" and characters that end no line: its bytes are those of the key and
    // one per character after it.
    const std::size_t key_bytes = EncodedStreamSize(key);
    const std::size_t pair_bytes = key_bytes + 1 + EncodedStreamSize(value);
    constexpr std::size_t kSaturated = std::numeric_limits<std::size_t>::max();
    std::size_t bytes = EncodedStreamSize(text);
    bool any = false;
    std::size_t tail = 0;
    while (const auto match = FindKeyValue(pattern, text, tail)) {
        any = true;
        if (bytes != kSaturated) {
            bytes -= key_bytes + (match->end - match->begin - key.size());
            bytes = pair_bytes > kSaturated - bytes ? kSaturated : bytes + pair_bytes;
        }
        tail = match->end;
    }
    if (!any) {
        return text;
    }
    if (bytes > max_bytes) {
        return std::nullopt;
    }
    std::wstring result;
    result.reserve(bytes);
    tail = 0;
    while (const auto match = FindKeyValue(pattern, text, tail)) {
        result.append(text, tail, match->begin - tail);
        result.append(key);
        result.push_back(L'=');
        result.append(value);
        tail = match->end;
    }
    result.append(text, tail);
    return result;
}

}  // namespace

// A candidate that fails costs constant time, since it fails only when no s follows "=".
std::optional<KeyValueMatch> FindKeyValue(const KeyPattern& pattern, std::wstring_view text, std::size_t from) {
    return FindProbeAtLineStart(pattern, text, from, [&](std::size_t begin) {
        return MatchAfterProbe(text, begin, begin + pattern.probe.size());
    });
}

std::optional<std::wstring> FindStreamValue(const std::wstring& text, const std::wstring& key) {
    const auto match = FindKeyValue(MakeKeyPattern(key), text, 0);
    if (!match) {
        return std::nullopt;
    }
    return text.substr(match->value_begin, match->end - match->value_begin);
}

std::wstring ReplaceStreamValues(const std::wstring& text, const std::wstring& key, const std::wstring& value) {
    constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    return *ReplaceKeyValues(text, key, value, kUnbounded);
}

bool SetStreamValue(std::wstring& text, const std::wstring& key, const std::wstring& value, std::size_t max_bytes) {
    // A byte 0x1A stored in a value would end the text there, and the stream, no longer whole,
    // could never be written again.
    if (value.find_first_of(L"\n\r\x1A") != std::wstring::npos) {
        return false;
    }
    if (!HasProbeAtLineStart(MakeKeyPattern(key), text)) {
        const std::size_t line_bytes = EncodedStreamSize(key) + 1 + EncodedStreamSize(value) + 2;
        if (line_bytes > max_bytes || EncodedStreamSize(text) > max_bytes - line_bytes) {
            return false;
        }
        text.reserve(text.size() + key.size() + value.size() + 2);
        text.append(key);
        text.push_back(L'=');
        text.append(value);
        text.push_back(L'\n');
        return true;
    }
    auto result = ReplaceKeyValues(text, key, value, max_bytes);
    if (!result || EncodedStreamSize(*result) > max_bytes) {
        return false;
    }
    text = std::move(*result);
    return true;
}

bool StreamText::GetValue(const std::wstring& key, std::wstring& value) const noexcept {
    try {
        std::optional<std::wstring> found = FindStreamValue(text, key);
        if (!found) {
            return false;
        }
        value = std::move(*found);
        return true;
    } catch (...) {
        Trace(L"a lookup of ", key, L" ran out of memory: the key counts as missing");
        return false;
    }
}

bool StreamText::SetValue(const std::wstring& key, const std::wstring& value) noexcept {
    try {
        return SetStreamValue(text, key, value);
    } catch (...) {
        Trace(L"a change of ", key, L" ran out of memory: not made");
        return false;
    }
}

}  // namespace varnok
