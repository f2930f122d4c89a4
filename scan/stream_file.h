// One alternate data stream of one file ("file:stream"), held in memory as key=value text.
#pragma once

#include <filesystem>
#include <string>

namespace varnok {

// Opens nothing until asked; each operation opens the stream, sharing read and write with every
// other handle, and closes it before it returns. No operation lets an exception out.
class StreamFile {
public:
    StreamFile(const std::wstring& file_path, const std::wstring& stream_name, bool create_if_missing);

    // Reads the stream into `text`. A missing stream is created empty when create_if_missing is
    // set (the answer is whether that worked, `text` stays as it was); otherwise, or when the
    // stream's existence can't be told, the answer is false and `text` stays as it was. Only the
    // first kStreamReadLimit bytes of a longer stream are read.
    bool Load() noexcept;

    // The value of the first match of the key (see stream_text.h); `value` is left alone when
    // there is none.
    bool GetValue(const std::wstring& key, std::wstring& value) const noexcept;

    // Appends key=value as a new line, or replaces the value of every match of the key.
    void SetValue(const std::wstring& key, const std::wstring& value) noexcept;

    // Replaces the stream's content with `text`, creating the stream if needed. A stream that
    // can't be opened for writing is left as it is.
    void Save() const noexcept;

    std::filesystem::path path;  // the file's path + ":" + the stream's name
    std::wstring text;
    bool create_if_missing;
};

}  // namespace varnok
