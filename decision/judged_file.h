// The file that one event judges, and the one way to its own stream "varnok".
//
// The file is reached through its folder, which is opened by its exact name once and then held to
// the end of the event: the file and its record are opened by their names inside that folder, never
// through a link that the name itself is, so that a folder swapped for a link meanwhile leads
// nowhere else. What the file was when judged (its index and identity on its volume, its version)
// stays with it, and every stream is checked against it: a record is read or written only when it
// is of the judged file, through the handle that passed that check, and a record is created only
// as a new object, which is deleted through its own handle when it is not the file's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>

#include "record_seal.h"
#include "reported_name.h"
#include "stream_file.h"
#include "unique_handle.h"

namespace varnok {

// Not inline: clang guards an inline variable's construction with the C++ runtime's lock, whose
// threading library then keeps state for the loading thread that no unload of the DLL gives back.
const std::wstring kRecordStream = L"varnok";

enum class FileAge { kUnopenable, kOld, kRecent };

// What an update of the record did.
enum class RecordUpdate {
    kWritten,    // the changed text is in the stream
    kUnchanged,  // the change left the stream's bytes as they were, or asked for no write
    kRefused,    // the stream was read only in part, so it was not written
    kUnknown,    // the record is not known to be the file's own (see RecordIsItsOwn): not read, not written
    kFailed,     // the file is gone, or the stream could not be opened, read or written
};

// A record as read without its lock, and the handle it was read through (none when it was missing).
struct RecordAsRead {
    UniqueHandle stream;
    std::string bytes;
    bool whole = true;
};

class JudgedFile {
public:
    JudgedFile() = default;
    JudgedFile(const JudgedFile&) = delete;
    JudgedFile& operator=(const JudgedFile&) = delete;

    // Opens the file's folder, and the file in it for reading with others allowed to read and to
    // delete (so that a writer of the file, and only a writer, refuses the open), and tests its age.
    // Something that is no file on a disk counts as unopenable. For a recent file it also learns
    // whether the streams already opened by name (their file indexes given) are this file's, and the
    // file's identity; the handle of the file itself is closed before it returns.
    // Null entries stand for streams that were not opened.
    FileAge Judge(const FileLocation& location, std::initializer_list<const OriginStream*> streams_read_by_name);

    // Whether the record may be read and written as the file's own: the file is recent, each stream
    // read by name was its own, its identity and version are known, and no access to its record has
    // met another file's stream or a lock held too long. Once false, it stays false for the event.
    [[nodiscard]] bool RecordIsItsOwn() const { return own_record_; }

    // Whether a handle with that file index is of this file.
    [[nodiscard]] bool Owns(std::optional<std::uint64_t> file_index) const;

    // What the file was when judged; meaningful while RecordIsItsOwn.
    [[nodiscard]] const FileIdentity& Identity() const { return identity_; }
    [[nodiscard]] const FileVersion& Version() const { return version_; }

    // Reads the record, without its lock (for an update that may follow, which keeps to this read
    // unless it has to write) or under its shared lock (never seeing a write half done). Unreadable
    // also when it is not known to be the file's.
    enum class RecordLock { kNone, kShared };
    StreamState ReadRecord(StreamFile& record, RecordLock lock) noexcept;

    // One read-modify-write of the record, atomic with respect to every other update and locked read:
    // takes the record as ReadRecord last read it without its lock, or reads it (empty when it is
    // missing), calls change(context, record), which changes the text and answers whether to write
    // it, and when the bytes would differ, takes the exclusive lock, reads the record again, calls
    // change once more and writes the result if it still differs. `change` may run with the lock
    // held: it must only work on the text. A missing record is created only on a file that is still
    // there. Whatever the record read keeps open is closed when it returns.
    //
    // While the record is written the file is held against writers, and afterwards its last-write
    // time is set back to the judged version's, so that the file's modified time keeps telling of
    // its content and not of the library's bookkeeping; unless the file had changed already, or a
    // writer of it was at work, whose change then shows. A record that was there is written only
    // where streams have shown, in this event, that they live inside their files.
    using TextChange = bool (*)(void* context, StreamFile& record);
    // Closes what the last read of the record kept open.
    void ReleaseRecord() { held_.reset(); }

    RecordUpdate UpdateRecord(StreamFile& record, TextChange change, void* context) noexcept;

    template <class Change>
    RecordUpdate UpdateRecord(StreamFile& record, Change&& change) {
        using Callable = std::remove_reference_t<Change>;
        return UpdateRecord(
            record, [](void* context, StreamFile& stream) { return (*static_cast<Callable*>(context))(stream); },
            static_cast<void*>(&change));
    }

private:
    enum class Written { kDone, kUnknown, kFailed, kTaken };

    StreamState ReadRecordOnce(StreamFile& record, RecordLock lock_kind);
    RecordUpdate UpdateRecordOnce(StreamFile& record, TextChange change, void* context);
    Written WriteRecord(const std::string& bytes, bool create);
    // Whether the handle is of the judged file, by its volume's serial number and its 128-bit ID.
    bool IsTheJudgedFile(HANDLE handle) const;
    // A record that is already there is written only once this event has shown that streams live
    // inside their files in the file's folder: a stream that it made there, by an open that can only
    // create (so no link, nor anything else that was there), is the judged file. On a file system
    // without streams, as Wine's ordinary one, "x.exe:varnok" is a name in the folder like any other,
    // and can be a link to the file's data or to a file elsewhere, whose index is then the file's.
    // The record made in the event shows it; else a probe stream made beside it and deleted at once.
    bool ProveStreamsLiveInside();
    UniqueHandle OpenOwnedInFolder(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD& error);
    void Disown(const wchar_t* why);

    UniqueHandle folder_;
    std::wstring leaf_;         // the file's name in the folder
    std::wstring record_name_;  // leaf_ + ":varnok"
    std::optional<std::uint64_t> file_index_;
    std::uint64_t lock_key_ = 0;  // the record in the memory of long-held locks: its index and name
    FileIdentity identity_;
    FileVersion version_;
    bool own_record_ = false;
    bool streams_inside_ = false;  // shown in this event (ProveStreamsLiveInside)

    // The record as last read without its lock, for the update that follows.
    std::optional<RecordAsRead> held_;
};

}  // namespace varnok
