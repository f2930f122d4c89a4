// The text of one alternate data stream of one file ("file:stream"), held in memory as key=value
// lines.
#pragma once

#include <string>
#include <string_view>


namespace varnok {

// What a read found.
enum class StreamState {
    kLoaded,      // the stream was read into the text
    kMissing,     // there is no such stream (nor, perhaps, its file)
    kUnreadable,  // it is there but could not be read: shared with nobody, access denied, a failed
                  // read, no file on a disk, or a lock held too long
};

// The text of one stream, read and changed whole; it owns only the text. Each instance belongs to
// the one thread handling one event; the stream itself is shared with every other event of the
// file, in this process and others. No operation lets an exception out.
class StreamFile {
public:
    explicit StreamFile(std::wstring stream_name) : name(std::move(stream_name)) {}

    // The text of the bytes as stored (see DecodeStream); `whole` tells whether they were all of it.
    void Decode(const std::string& bytes, bool bytes_are_whole) noexcept;

    // The value of the first match of the key (see stream_text.h); `value` is left alone when
    // there is none.
    bool GetValue(const std::wstring& key, std::wstring& value) const noexcept;

    // Appends key=value as a new line, or replaces the value of every match of the key.
    void SetValue(const std::wstring& key, const std::wstring& value) noexcept;

    std::wstring name;  // "Zone.Identifier", "varnok": for the trace
    std::wstring text;
    bool whole = true;  // whether `text` came from the whole stream (see DecodeStream)
};

}  // namespace varnok
