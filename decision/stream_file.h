// The text of one alternate data stream of one file ("file:stream"), held in memory as key=value
// lines, and the download-origin streams read by their names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "unique_handle.h"

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

// A download-origin stream of the file named, opened by its full name before the file itself is
// judged. Its handle stays open until the judged file tells whether the stream is that file's; only
// then is it read.
class OriginStream {
public:
    // Opens "exact_file_name:stream_name" for reading, sharing everything.
    OriginStream(const std::wstring& exact_file_name, const std::wstring& stream_name);

    [[nodiscard]] StreamState State() const { return state_; }

    // The file index that the stream's handle reports; nothing when it is not open or can't tell.
    [[nodiscard]] std::optional<std::uint64_t> FileIndex() const { return file_index_; }

    // Reads the stream into `into` and closes it. A stream that is not the judged file's (its_file
    // false) may be anything the name led to, a pipe among them: it is read only if it is a file on
    // a disk. Answers what the stream is now: Loaded, or Missing or Unreadable as it was opened, or
    // Unreadable when it could not be read.
    StreamState Read(StreamFile& into, bool its_file);

private:
    UniqueHandle handle_;
    StreamState state_;
    std::optional<std::uint64_t> file_index_;
};

}  // namespace varnok
