// The text of one alternate data stream: key=value lines, their bytes on disk, and the lookup and
// replacement of a key's value. Free of windows.h, so it builds natively for the sanitizers and
// the fuzzer.
//
// A key's value is what the ECMAScript pattern "(^|[\n\r])(" + key + ")=s*(.+)" finds, the key read
// as the literal text it is (no key that the library asks for holds a character that a pattern
// reads otherwise): a line start (the start of the text, or right after LF or CR), the key's text,
// "=", a run of the letter s, then one or more characters none of which ends a line (LF, CR, U+2028,
// U+2029). Only a key at the start of a line counts: the text of a line (a download's URL, a file's
// name) can't pass for a key of its own. Otherwise stored streams and later events depend on exactly
// that reading, oddities included ("Key=sftp" holds "ftp"), so it is kept as it is. It is found in
// time linear in the text; the tests hold it against the pattern engine itself.
//
// Allocation failure (std::bad_alloc) is the one exception these functions let out, but for
// StreamText's own lookup and change, which let none out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnok {

// At most this many bytes of a stream are read into memory; the text of a longer stream is what
// its first kStreamReadLimit bytes decode to, as if the stream ended there.
inline constexpr std::size_t kStreamReadLimit = std::size_t{1} << 20;

// Bytes as stored: each byte is the character of the same code, CR LF is one LF, any other CR
// stays, and a byte 0x1A ends the text.
std::wstring DecodeStreamBytes(std::string_view bytes);

// The text of one stream, read and changed whole, and whether it is the whole stream: written back,
// would it give the same bytes? It is not when the bytes were only the stream's first part, nor when
// a byte 0x1A ended the text with more bytes after it. A text that is not whole is never written
// back, which would cut the stream. Each instance belongs to the one thread handling one event; the
// stream itself is shared with every other event of the file, in this process and others.
struct StreamText {
    std::wstring text;
    bool whole = true;

    // The value of the first match of the key; `value` is left alone when there is none, and when
    // memory runs out (the key counts as missing).
    bool GetValue(const std::wstring& key, std::wstring& value) const noexcept;

    // Sets the key as SetStreamValue does, with its limit; false when the change was refused, or
    // memory ran out, and the text is as it was.
    bool SetValue(const std::wstring& key, const std::wstring& value) noexcept;
};

// DecodeStreamBytes of the bytes; when they are only the stream's first part, the text ends after
// its last line end (LF or CR), since a line that the cut runs through is not the line as stored.
StreamText DecodeStream(std::string_view bytes, bool bytes_are_whole);

// Text as stored: each character up to 0xFF is the byte of the same value, LF is written as
// CR LF, and a character above 0xFF, which no byte can hold, is written as '?'.
std::string EncodeStreamText(std::wstring_view text);

// A key prepared for searching: the literal text key + "=" and its border table.
struct KeyPattern {
    std::wstring probe;
    std::vector<std::size_t> border;  // border[i]: the longest proper border of probe[0, i)
};

KeyPattern MakeKeyPattern(std::wstring_view key);

// The bytes that EncodeStreamText makes of the text.
std::size_t EncodedStreamSize(std::wstring_view text);

// One match of the pattern, as positions in the text.
struct KeyValueMatch {
    std::size_t begin;        // the key's first character
    std::size_t value_begin;  // the value's first character
    std::size_t end;          // one past the value's last character
};

// The leftmost match whose key starts a line at or after `from`, in time linear in the text
// searched. Whether a position starts a line is told by the character before it, which a search
// resumed at the end of an earlier match may look at.
std::optional<KeyValueMatch> FindKeyValue(const KeyPattern& pattern, std::wstring_view text, std::size_t from);

// The value of the first match in the text, or nothing.
std::optional<std::wstring> FindStreamValue(const std::wstring& text, const std::wstring& key);

// The text with every match, left to right and not overlapping, replaced by the key's matched
// text, "=" and the value, whose characters land unchanged ("$" included).
std::wstring ReplaceStreamValues(const std::wstring& text, const std::wstring& key, const std::wstring& value);

// Sets a key: when no line of the text starts with key + "=", appends key + "=" + value + LF
// (without a line end in front); otherwise replaces every match, which leaves the text unchanged
// when none is found.
//
// A change is not made, and the answer is false, when the text would then take more than
// max_bytes on disk (the library's own changes never make a stream longer than what is read back
// of it), when the value holds LF or CR (a value ends at its line, so the rest would stand as
// lines of their own), or when it holds 0x1A (the text would end there, and the stream could never
// be written again). Each leaves the text as it was.
bool SetStreamValue(std::wstring& text, const std::wstring& key, const std::wstring& value,
                    std::size_t max_bytes = kStreamReadLimit);

}  // namespace varnok
