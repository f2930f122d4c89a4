// A download-origin stream of a file ("Zone.Identifier", "SmartScreen"): looked for by the file's
// full name, read only inside the judged file's held folder.
//
// The look by name tells whether the stream is there (the cheap test that most events end with).
// Once the file is judged and its folder held, the stream is opened and read inside that folder, as
// the record is. Nothing is read through the look: a folder swapped for a junction between the look
// and the folder's open could lead it to another file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "stream_state.h"
#include "stream_text.h"
#include "unique_handle.h"

namespace varnok {

// What the look by name found.
enum class Presence {
    kMissing,  // no such stream (nor, perhaps, its file)
    kPresent,  // it opened
    kRefused,  // it is there, but the open was refused: shared with nobody, access denied
};

class OriginStream {
public:
    // Looks for "exact_file_name:stream_name", opening it for reading, sharing everything, and closes
    // it at once.
    OriginStream(const std::wstring& exact_file_name, std::wstring stream_name);

    [[nodiscard]] Presence Look() const { return presence_; }
    [[nodiscard]] const std::wstring& Name() const { return name_; }

    // Opens the stream of `leaf` inside the held folder, where the judged file is, if the look found
    // it. A stream that the look found but the folder does not give counts as unreadable.
    void OpenInFolder(HANDLE folder, const std::wstring& leaf);

    // The file index that the stream's handle in the folder reports; nothing when it is not open
    // there or can't tell.
    [[nodiscard]] std::optional<std::uint64_t> FileIndex() const { return file_index_; }

    // Reads the stream, as opened in the folder, into `into` and closes it. A stream that is not the
    // judged file's (its_file false: a file of its own beside it, where the file system keeps
    // streams so) may be anything the name leads to, a pipe among them: it is read only if it is a
    // file on a disk. Loaded, Missing as it was looked for, or Unreadable.
    StreamState Read(StreamText& into, bool its_file);

private:
    std::wstring name_;
    Presence presence_ = Presence::kMissing;
    UniqueHandle in_folder_;
    std::optional<std::uint64_t> file_index_;
};

}  // namespace varnok
