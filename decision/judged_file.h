// The file that one event judges: reached through its held folder, tested for its age, and known by
// what it was when judged, against which every stream of it is checked.
//
// The folder is opened by its exact name once and held to the end of the event: the file and its
// streams are opened by their names inside that folder, never through a link that the name itself
// is, so that a folder swapped for a link meanwhile leads nowhere else. What the file was when judged
// (its index and identity on its volume, its version) stays with it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "file_calls.h"
#include "origin_stream.h"
#include "record_seal.h"
#include "reported_name.h"
#include "stream_lock.h"
#include "unique_handle.h"

namespace varnok {

// What judging the file found: that it can't be opened as the decision asks, or else its age.
enum class Judgement { kUnopenable, kOld, kRecent };

class JudgedFile {
public:
    JudgedFile() = default;
    JudgedFile(const JudgedFile&) = delete;
    JudgedFile& operator=(const JudgedFile&) = delete;

    // Opens the file's folder, and in it the file, or the named stream of it that the event is for
    // (`stream`, empty for the file's data), for reading with others allowed to read and to delete
    // (so that a writer, and only a writer, refuses the open), and tests the file's age. Something
    // that is no file on a disk counts as unopenable. For a recent file it also learns the index,
    // identity and version of what it opened, and opens each origin stream that its look by name found
    // inside the folder, to be read from there and checked to be the file's. The handle of what it
    // judged is closed before it returns. Null entries stand for streams that were not looked for.
    Judgement Judge(const FileLocation& location, std::wstring_view stream,
                    std::initializer_list<OriginStream*> origin_streams);

    // Whether the file's record may be read and written as its own: the file is recent, each origin
    // stream opened in the folder is its own (so streams live inside their files here), its identity
    // and version are known, and no access to its record has met another file's stream or a lock held
    // too long. Once false, it stays false for the event.
    [[nodiscard]] bool RecordIsItsOwn() const { return own_record_; }

    // Makes the record count as unknown for the rest of the event (not read, not written), and leaves
    // why in the developer's trace.
    void CountRecordAsUnknown(const wchar_t* why);

    // Whether a handle with that file index is of this file.
    [[nodiscard]] bool Owns(std::optional<std::uint64_t> file_index) const;

    // Whether the handle is of the judged file, by its volume's serial number and its 128-bit ID.
    [[nodiscard]] bool IsTheJudgedFile(HANDLE handle) const;

    // What the file was when judged; meaningful while RecordIsItsOwn.
    [[nodiscard]] const FileIdentity& Identity() const { return identity_; }
    [[nodiscard]] const FileVersion& Version() const { return version_; }

    // The file's name in its folder, and its record's ("x.exe:varnok"); the record's key in the
    // gates and memory of long-held locks (stream_lock.h); what the name calls its volume ("\\?\C:").
    [[nodiscard]] const std::wstring& Leaf() const { return leaf_; }
    [[nodiscard]] const std::wstring& VolumeName() const { return volume_name_; }
    [[nodiscard]] const std::wstring& RecordName() const { return record_name_; }
    [[nodiscard]] FileKey RecordLockKey() const { return record_lock_key_; }

    // Opens a name inside the held folder, as asked.
    Opened OpenInFolder(std::wstring_view name, ACCESS_MASK access, DWORD share, Disposition disposition) const;

    // Opens an existing name inside the held folder as one of the judged file's streams (or the file
    // itself): a handle that turns out to be another file's is closed, the record counts as unknown,
    // and the open fails as if the name were missing.
    UniqueHandle OpenItsOwn(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD& error);

private:
    UniqueHandle folder_;
    std::wstring leaf_;
    std::wstring record_name_;
    std::wstring volume_name_;
    std::optional<std::uint64_t> file_index_;
    FileKey record_lock_key_;
    FileIdentity identity_;
    FileVersion version_;
    bool own_record_ = false;
};

}  // namespace varnok
