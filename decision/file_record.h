// The judged file's own stream "varnok" (record_format.h), read and updated only as that file's.
//
// It is reached through the folder that the judged file holds, each handle checked to be the file's;
// it is changed in one read-modify-write under the stream's lock (stream_lock.h), so that no update
// of another event or process is lost and no locked read sees one half done; and it is written as
// record_write.h says.
#pragma once

#include <optional>
#include <string>
#include <type_traits>

#include "judged_file.h"
#include "record_write.h"
#include "stream_state.h"
#include "stream_text.h"
#include "unique_handle.h"

namespace varnok {

enum class RecordLock { kNone, kShared };

// What an update of the record did.
enum class RecordUpdate {
    kWritten,    // the changed text is in the stream
    kUnchanged,  // the change left the stream's bytes as they were, or asked for no write
    kRefused,    // the stream was read only in part, so it was not written
    kUnknown,    // the record is not known to be the file's own (JudgedFile::RecordIsItsOwn)
    kFailed,     // the file is gone, or the stream could not be opened, read or written
};

// The record as last read without its lock, and the handle it was read through (none when it was
// missing): what an update that follows keeps to, unless it has to write.
struct RecordAsRead {
    UniqueHandle stream;
    std::string bytes;
    bool whole = true;
};

class FileRecord {
public:
    explicit FileRecord(JudgedFile& file) : file_(file), writer_(file) {}
    FileRecord(const FileRecord&) = delete;
    FileRecord& operator=(const FileRecord&) = delete;

    // Reads the record, without its lock (for an update that may follow, which keeps to this read
    // unless it has to write) or under its shared lock (never seeing a write half done). Unreadable
    // also when it is not known to be the file's. What a read without the lock keeps open is closed by
    // the update that follows, or by Release.
    StreamState Read(StreamText& record, RecordLock lock) noexcept;
    void Release() { held_.reset(); }

    // One read-modify-write of the record, atomic with respect to every other update and locked read.
    // It takes the record as Read last read it without its lock, or reads it (empty when it is
    // missing), and calls change(context, record), which changes the text and answers whether to
    // write it. Only when the bytes would differ does it take the exclusive lock, read the record
    // again, call change once more and write the result if it still differs: an update that changes
    // nothing costs no lock. `change` may run with the lock held: it must only work on the text. A
    // missing record is created only on a file that is still there, and only as a new object: one
    // made meanwhile by another event is updated as it is then. Whatever the read kept open is closed
    // when it returns.
    using TextChange = bool (*)(void* context, StreamText& record);
    RecordUpdate Update(StreamText& record, TextChange change, void* context) noexcept;

    template <class Change>
    RecordUpdate Update(StreamText& record, Change&& change) {
        using Callable = std::remove_reference_t<Change>;
        return Update(
            record, [](void* context, StreamText& stream) { return (*static_cast<Callable*>(context))(stream); },
            static_cast<void*>(&change));
    }

private:
    StreamState ReadOnce(StreamText& record, RecordLock lock);
    RecordUpdate UpdateOnce(StreamText& record, TextChange change, void* context);

    JudgedFile& file_;
    RecordWriter writer_;
    std::optional<RecordAsRead> held_;
};

}  // namespace varnok
