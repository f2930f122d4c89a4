#include "judged_file.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "file_age.h"
#include "file_calls.h"
#include "stream_text.h"
#include "trace.h"

namespace varnok {
namespace {

// While it lives, no update of the record is under way and none can start: it holds the record's
// lock shared (waiting, within the limit, for an update to end). The library opens a handle that
// writes a record only while it holds the exclusive lock, so none of its handles writes meanwhile.
// Some file systems count a file and its streams as one for sharing (ntfs-3g under Wine does), so
// that the library's own write of the record for one event refuses another event's open of the file
// itself; that open is tried again under this guard. Holds nothing when the record is missing.
class QuietRecord {
public:
    QuietRecord(HANDLE folder, const std::wstring& record_name) {
        Opened opened = OpenInFolder(folder, record_name, GENERIC_READ, kShareAll, Disposition::kOpenExisting);
        if (opened.handle) {
            record_ = std::move(opened.handle);
            lock_.emplace(record_.Get(), false, FileIndexOf(record_.Get()).value_or(0));
        }
    }

private:
    UniqueHandle record_;
    std::optional<StreamLock> lock_;  // released before the handle closes
};

}  // namespace

FileAge JudgedFile::Judge(const FileLocation& location,
                          std::initializer_list<const OriginStream*> streams_read_by_name) {
    leaf_ = location.leaf;
    record_name_ = leaf_ + L":" + kRecordStream;
    Opened folder = OpenFolder(location.folder);
    if (!folder.handle) {
        return FileAge::kUnopenable;
    }
    folder_ = std::move(folder.handle);
    const auto open_for_the_age_test = [&] {
        return OpenInFolder(folder_.Get(), leaf_, GENERIC_READ, kShareAllButWriting, Disposition::kOpenExisting);
    };
    Opened file = open_for_the_age_test();
    if (!file.handle && file.error == ERROR_SHARING_VIOLATION) {
        // The writer may be the library's own update of the record for another event of the file,
        // where one set of share modes covers the file and its streams: once more while none runs.
        const QuietRecord quiet(folder_.Get(), record_name_);
        file = open_for_the_age_test();
    }
    if (!file.handle || !IsDiskFile(file.handle.Get())) {
        return FileAge::kUnopenable;
    }
    // A file whose times can't be read counts as recent, and its version as unknown.
    const std::optional<FileFacts> facts = FactsOf(file.handle.Get());
    if (IsFileRecent(facts ? std::optional(facts->creation_time) : std::nullopt) == 0) {
        return FileAge::kOld;
    }
    const FileAge age = FileAge::kRecent;
    file_index_ = FileIndexOf(file.handle.Get());
    lock_key_ = file_index_.value_or(0) ^ std::hash<std::wstring>{}(location.folder + L"\\" + record_name_);
    own_record_ =
        facts.has_value() && file_index_.has_value() &&
        std::all_of(streams_read_by_name.begin(), streams_read_by_name.end(), [&](const OriginStream* stream) {
            return stream == nullptr || stream->State() != StreamState::kLoaded || Owns(stream->FileIndex());
        });
    if (!own_record_) {
        Trace(L"the record of ", leaf_, L" counts as unknown: a stream read by its name is not the file's");
        return age;
    }
    version_ = facts->version;
    const std::optional<FileIdentity> identity = IdentityOf(file.handle.Get());
    own_record_ = identity.has_value();
    if (identity) {
        identity_ = *identity;
    }
    return age;
}

bool JudgedFile::Owns(std::optional<std::uint64_t> file_index) const {
    return file_index.has_value() && file_index == file_index_;
}

void JudgedFile::Disown(const wchar_t* why) {
    own_record_ = false;
    Trace(L"the record of ", leaf_, L" counts as unknown and is not written: ", why);
}

UniqueHandle JudgedFile::OpenOwnedInFolder(const std::wstring& name, ACCESS_MASK access, DWORD share, DWORD& error) {
    Opened opened = OpenInFolder(folder_.Get(), name, access, share, Disposition::kOpenExisting);
    error = opened.error;
    if (opened.handle && !Owns(FileIndexOf(opened.handle.Get()))) {
        Disown(L"its name in the folder leads to another file");
        error = ERROR_FILE_NOT_FOUND;
        return UniqueHandle();
    }
    return std::move(opened.handle);
}

StreamState JudgedFile::ReadRecord(StreamFile& record) noexcept {
    try {
        return ReadRecordOnce(record);
    } catch (...) {
        Trace(L"the record of ", leaf_, L" could not be read: an exception");
        return StreamState::kUnreadable;
    }
}

StreamState JudgedFile::ReadRecordOnce(StreamFile& record) {
    if (!own_record_) {
        return StreamState::kUnreadable;
    }
    DWORD error = ERROR_SUCCESS;
    const UniqueHandle stream = OpenOwnedInFolder(record_name_, GENERIC_READ, kShareAll, error);
    if (!stream) {
        return own_record_ && IsMissing(error) ? StreamState::kMissing : StreamState::kUnreadable;
    }
    const StreamLock lock(stream.Get(), false, lock_key_);
    if (lock.State() == LockState::kBusy) {
        Disown(L"its lock was held too long");
    }
    std::string bytes;
    bool bytes_are_whole = true;
    if (lock.State() != LockState::kHeld || !ReadStreamBytes(stream.Get(), bytes, bytes_are_whole)) {
        return StreamState::kUnreadable;
    }
    record.Decode(bytes, bytes_are_whole);
    return StreamState::kLoaded;
}

RecordUpdate JudgedFile::UpdateRecord(StreamFile& record, TextChange change, void* context) noexcept {
    try {
        return UpdateRecordOnce(record, change, context);
    } catch (...) {
        Trace(L"the record of ", leaf_, L" could not be updated: an exception");
        return RecordUpdate::kFailed;
    }
}

RecordUpdate JudgedFile::UpdateRecordOnce(StreamFile& record, TextChange change, void* context) {
    // Twice at most: a record found missing may be created by another event before this one can.
    for (int attempt = 0; attempt < 2 && own_record_; ++attempt) {
        DWORD error = ERROR_SUCCESS;
        const UniqueHandle stream = OpenOwnedInFolder(record_name_, GENERIC_READ, kShareAll, error);
        if (!stream && !IsMissing(error)) {
            return own_record_ ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
        }
        std::string bytes;
        bool bytes_are_whole = true;
        std::optional<StreamLock> lock;
        if (stream) {
            lock.emplace(stream.Get(), true, lock_key_);
            if (lock->State() == LockState::kBusy) {
                Disown(L"its lock was held too long");
                return RecordUpdate::kUnknown;
            }
            if (lock->State() != LockState::kHeld || !ReadStreamBytes(stream.Get(), bytes, bytes_are_whole)) {
                return RecordUpdate::kFailed;
            }
        }
        record.Decode(bytes, bytes_are_whole);
        if (!change(context, record)) {
            return RecordUpdate::kUnchanged;
        }
        if (!record.whole) {
            return RecordUpdate::kRefused;
        }
        const std::string changed = EncodeStreamText(record.text);
        if (stream && changed == bytes) {
            return RecordUpdate::kUnchanged;
        }
        switch (WriteRecord(changed, !stream)) {
            case Written::kDone:
                return RecordUpdate::kWritten;
            case Written::kUnknown:
                return RecordUpdate::kUnknown;
            case Written::kFailed:
                return RecordUpdate::kFailed;
            case Written::kTaken:
                break;  // created by another event meanwhile: updated as it is now
        }
    }
    return own_record_ ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
}

// The caller holds the record's exclusive lock, or creates the record. First the file is held
// against writers: where share modes are kept per stream (Windows), by a handle of its data that
// shares no writing; where one set covers the file and all its streams (ntfs-3g under Wine), that
// handle would keep the record's writer out too, so the writer itself, sharing no writing, keeps
// every other writer of the file out, and a handle of the file's attributes alone sets the time.
JudgedFile::Written JudgedFile::WriteRecord(const std::string& bytes, bool create) {
    DWORD error = ERROR_SUCCESS;
    UniqueHandle guard = OpenOwnedInFolder(leaf_, FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                           kShareAllButWriting, error);
    if (!own_record_) {
        return Written::kUnknown;
    }
    // A writer at work: the record is written, and the file's time left as the write makes it.
    const bool writer_at_work = !guard && error == ERROR_SHARING_VIOLATION;
    if (!guard && !writer_at_work) {
        return Written::kFailed;  // the file has gone: it is never made anew
    }
    bool guard_is_the_writer = false;
    const ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | (create ? DELETE : 0);
    const Disposition disposition = create ? Disposition::kCreateNew : Disposition::kOpenExisting;
    const DWORD share = writer_at_work ? kShareAll : kShareAllButWriting;
    Opened writer = OpenInFolder(folder_.Get(), record_name_, access, share, disposition);
    if (!writer.handle && writer.error == ERROR_SHARING_VIOLATION && guard) {
        guard.Reset();
        guard = OpenOwnedInFolder(leaf_, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, error);
        guard_is_the_writer = true;
        if (!own_record_) {
            return Written::kUnknown;
        }
        writer = OpenInFolder(folder_.Get(), record_name_, access, share, disposition);
    }
    if (!writer.handle) {
        if (create && (writer.error == ERROR_FILE_EXISTS || writer.error == ERROR_ALREADY_EXISTS)) {
            return Written::kTaken;
        }
        Trace(L"the record of ", leaf_, L" could not be opened for writing: ", TraceHex{writer.error});
        return own_record_ ? Written::kFailed : Written::kUnknown;
    }
    if (!Owns(FileIndexOf(writer.handle.Get()))) {
        if (writer.created) {
            DeleteOnClose(writer.handle.Get());
        }
        Disown(L"its name in the folder leads to another file");
        return Written::kUnknown;
    }
    // A record just made is locked as well, so that no other event reads it before it is written.
    std::optional<StreamLock> lock;
    if (create) {
        lock.emplace(writer.handle.Get(), true, lock_key_);
        if (lock->State() != LockState::kHeld) {
            return Written::kTaken;  // another event got to it first: updated as it is then
        }
    }
    const std::optional<FileFacts> before = guard ? FactsOf(guard.Get()) : std::nullopt;
    if (!WriteStreamBytes(writer.handle.Get(), bytes)) {
        return Written::kFailed;
    }
    if (!before || before->version != version_) {
        return Written::kDone;  // changed already, or a writer at work: the change shows
    }
    if (!guard_is_the_writer) {
        // Per-stream share modes: the writer's handle moves the time on when it closes.
        lock.reset();
        writer.handle.Reset();
    }
    if (!SetLastWriteTime(guard.Get(), version_.last_write_time)) {
        Trace(L"the last-write time of ", leaf_, L" could not be set back after its record was written");
    }
    return Written::kDone;
}

}  // namespace varnok
