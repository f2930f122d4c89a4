#include "judged_file.h"

#include <algorithm>
#include <array>
#include <atomic>
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
    // `name_key` is the record's part of its key in the gates and memory of locks (see Judge).
    QuietRecord(HANDLE folder, const std::wstring& record_name, std::uint64_t name_key) {
        Opened opened = OpenInFolder(folder, record_name, GENERIC_READ, kShareAll, Disposition::kOpenExisting);
        if (opened.handle) {
            record_ = std::move(opened.handle);
            lock_.emplace(record_.Get(), false, FileIndexOf(record_.Get()).value_or(0) ^ name_key);
        }
    }

private:
    UniqueHandle record_;
    std::optional<StreamLock> lock_;  // released before the handle closes
};

// Volumes whose share modes, as the library's writers of records found them, cover a file and all
// its streams as one (by serial number, plus one: 0 is a free slot). A few at most in any process.
std::array<std::atomic<std::uint64_t>, 8> g_one_set_volumes{};

bool SharesModesPerFile(std::uint64_t volume_serial) {
    return std::any_of(g_one_set_volumes.begin(), g_one_set_volumes.end(),
                       [&](const std::atomic<std::uint64_t>& slot) { return slot.load() == volume_serial + 1; });
}

void RememberSharesModesPerFile(std::uint64_t volume_serial) {
    for (std::atomic<std::uint64_t>& slot : g_one_set_volumes) {
        std::uint64_t free = 0;
        if (slot.load() == volume_serial + 1 || slot.compare_exchange_strong(free, volume_serial + 1)) {
            return;
        }
    }
}

// What holds a file's data against writers while its record is written, where share modes are kept
// per stream; it also reads the file's version and sets its time.
constexpr ACCESS_MASK kDataGuardAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// What sets the time where the record's writer keeps writers out itself.
constexpr ACCESS_MASK kAttributesAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// The version of the file or stream that the handle is open on; false when it can't be read.
bool ReadVersion(HANDLE handle, FileVersion& version) {
    const std::optional<FileFacts> facts = FactsOf(handle);
    if (facts) {
        version = facts->version;
    }
    return facts.has_value();
}

}  // namespace

FileAge JudgedFile::Judge(const FileLocation& location,
                          std::initializer_list<const OriginStream*> streams_read_by_name) {
    leaf_ = location.leaf;
    record_name_ = leaf_ + L":" + kRecordStream;
    // The record's key in this process's gates and memory of locks: its file's index and its name.
    const std::uint64_t name_key = std::hash<std::wstring>{}(location.folder + L"\\" + record_name_);
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
        const QuietRecord quiet(folder_.Get(), record_name_, name_key);
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
    lock_key_ = file_index_.value_or(0) ^ name_key;
    own_record_ =
        facts.has_value() && file_index_.has_value() &&
        std::all_of(streams_read_by_name.begin(), streams_read_by_name.end(), [&](const OriginStream* stream) {
            return stream == nullptr || stream->State() != StreamState::kLoaded || Owns(stream->FileIndex());
        });
    if (!own_record_) {
        Trace(L"the record of ", leaf_, L" counts as unknown: the file's times or index can't be read, or a stream ",
              L"read by its name is not the file's");
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

StreamState JudgedFile::ReadRecord(StreamFile& record, RecordLock lock) noexcept {
    try {
        return ReadRecordOnce(record, lock);
    } catch (...) {
        held_.reset();
        Trace(L"the record of ", leaf_, L" could not be read: an exception");
        return StreamState::kUnreadable;
    }
}

StreamState JudgedFile::ReadRecordOnce(StreamFile& record, RecordLock lock_kind) {
    held_.reset();
    if (!own_record_) {
        return StreamState::kUnreadable;
    }
    DWORD error = ERROR_SUCCESS;
    UniqueHandle stream = OpenOwnedInFolder(record_name_, GENERIC_READ, kShareAll, error);
    if (!stream) {
        if (!own_record_ || !IsMissing(error)) {
            return StreamState::kUnreadable;
        }
        held_.emplace();  // known to be missing: an update creates it
        return StreamState::kMissing;
    }
    std::optional<StreamLock> lock;
    if (lock_kind == RecordLock::kShared) {
        lock.emplace(stream.Get(), false, lock_key_);
        if (lock->State() == LockState::kBusy) {
            Disown(L"its lock was held too long");
        }
        if (lock->State() != LockState::kHeld) {
            return StreamState::kUnreadable;
        }
    }
    RecordAsRead read;
    if (!ReadStreamBytes(stream.Get(), read.bytes, read.whole)) {
        return StreamState::kUnreadable;
    }
    record.Decode(read.bytes, read.whole);
    if (lock_kind == RecordLock::kNone) {
        read.stream = std::move(stream);
        held_ = std::move(read);
    }
    return StreamState::kLoaded;
}

RecordUpdate JudgedFile::UpdateRecord(StreamFile& record, TextChange change, void* context) noexcept {
    RecordUpdate update = RecordUpdate::kFailed;
    try {
        update = UpdateRecordOnce(record, change, context);
    } catch (...) {
        Trace(L"the record of ", leaf_, L" could not be updated: an exception");
    }
    held_.reset();
    return update;
}

// Decides from the record as read without its lock, and takes the lock only to write: an update that
// changes nothing costs no lock. What is written is worked out again under the lock, from the record
// as it is then.
RecordUpdate JudgedFile::UpdateRecordOnce(StreamFile& record, TextChange change, void* context) {
    if (!held_ && ReadRecordOnce(record, RecordLock::kNone) == StreamState::kUnreadable) {
        return own_record_ ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
    }
    // Twice at most: a record found missing may be created by another event before this one can.
    for (int attempt = 0; attempt < 2 && own_record_ && held_; ++attempt) {
        record.Decode(held_->bytes, held_->whole);
        if (!change(context, record)) {
            return RecordUpdate::kUnchanged;
        }
        if (!record.whole) {
            return RecordUpdate::kRefused;
        }
        std::string changed = EncodeStreamText(record.text);
        const bool exists = held_->stream.IsValid();
        if (exists && changed == held_->bytes) {
            return RecordUpdate::kUnchanged;
        }
        std::optional<StreamLock> lock;
        if (exists) {
            lock.emplace(held_->stream.Get(), true, lock_key_);
            if (lock->State() == LockState::kBusy) {
                Disown(L"its lock was held too long");
                return RecordUpdate::kUnknown;
            }
            if (lock->State() != LockState::kHeld ||
                !ReadStreamBytes(held_->stream.Get(), held_->bytes, held_->whole)) {
                return RecordUpdate::kFailed;
            }
            record.Decode(held_->bytes, held_->whole);
            if (!change(context, record) || !record.whole) {
                return record.whole ? RecordUpdate::kUnchanged : RecordUpdate::kRefused;
            }
            changed = EncodeStreamText(record.text);
            if (changed == held_->bytes) {
                return RecordUpdate::kUnchanged;
            }
        }
        switch (WriteRecord(changed, !exists)) {
            case Written::kDone:
                return RecordUpdate::kWritten;
            case Written::kUnknown:
                return RecordUpdate::kUnknown;
            case Written::kFailed:
                return RecordUpdate::kFailed;
            case Written::kTaken:  // created by another event meanwhile: updated as it is now
                lock.reset();
                ReadRecordOnce(record, RecordLock::kNone);
                break;
        }
    }
    return own_record_ ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
}

// The caller holds the record's exclusive lock, or creates the record. The file is held against
// writers while it is written: where share modes are kept per stream (Windows), by a handle of its
// data that shares no writing; where one set covers the file and all its streams (ntfs-3g under
// Wine), such a handle would keep the record's writer out too, so there the writer itself, sharing
// no writing, keeps every other writer of the file out, and a handle of the file's attributes alone
// sets the time. Which holds for a volume is learnt from the refusal of the first such writer, and
// remembered. A writer of the file at work is never waited for: the record is written all the same,
// and the time is left as the writes make it.
JudgedFile::Written JudgedFile::WriteRecord(const std::string& bytes, bool create) {
    const ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | (create ? DELETE : 0);
    const Disposition disposition = create ? Disposition::kCreateNew : Disposition::kOpenExisting;
    const auto open_writer = [&](DWORD share) {
        return OpenInFolder(folder_.Get(), record_name_, access, share, disposition);
    };
    DWORD error = ERROR_SUCCESS;
    bool one_set_of_share_modes = SharesModesPerFile(identity_.volume_serial);
    bool writers_kept_out = true;  // false: a writer of the file is at work
    UniqueHandle time_guard;
    Opened writer;
    if (!one_set_of_share_modes) {
        time_guard = OpenOwnedInFolder(leaf_, kDataGuardAccess, kShareAllButWriting, error);
        if (!own_record_ || (!time_guard && error != ERROR_SHARING_VIOLATION)) {
            return own_record_ ? Written::kFailed : Written::kUnknown;  // gone: never made anew
        }
        writers_kept_out = time_guard.IsValid();
        writer = open_writer(writers_kept_out ? kShareAllButWriting : kShareAll);
        if (!writer.handle && writer.error == ERROR_SHARING_VIOLATION && writers_kept_out) {
            time_guard.Reset();
            writer = open_writer(kShareAllButWriting);
            one_set_of_share_modes = writer.handle.IsValid();
            if (one_set_of_share_modes) {
                RememberSharesModesPerFile(identity_.volume_serial);
            }
        }
    } else {
        // Opened first: the file is still there, and is the judged one, before its record is made.
        time_guard = OpenOwnedInFolder(leaf_, kAttributesAccess, kShareAll, error);
        if (!time_guard) {
            return own_record_ ? Written::kFailed : Written::kUnknown;
        }
        writer = open_writer(kShareAllButWriting);
        if (!writer.handle && writer.error == ERROR_SHARING_VIOLATION) {
            writers_kept_out = false;
            writer = open_writer(kShareAll);
        }
    }
    if (one_set_of_share_modes && writer.handle && !time_guard) {
        time_guard = OpenOwnedInFolder(leaf_, kAttributesAccess, kShareAll, error);
    }
    if (!writer.handle) {
        if (create && (writer.error == ERROR_FILE_EXISTS || writer.error == ERROR_ALREADY_EXISTS)) {
            return Written::kTaken;
        }
        Trace(L"the record of ", leaf_, L" could not be opened for writing: ", TraceHex{writer.error});
        return own_record_ ? Written::kFailed : Written::kUnknown;
    }
    if (!own_record_ || !Owns(FileIndexOf(writer.handle.Get()))) {
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
    // The file's version before the write; unknown while a writer of the file is at work, when the
    // time is not set back.
    FileVersion before;
    const bool before_known = time_guard && writers_kept_out && ReadVersion(time_guard.Get(), before);
    if (writer.created) {
        streams_inside_ = IsTheJudgedFile(writer.handle.Get());
    } else if (!streams_inside_ && !ProveStreamsLiveInside()) {
        Disown(L"nothing shows that a name of a stream in its folder is no link");
        return Written::kUnknown;
    }
    if (!WriteStreamBytes(writer.handle.Get(), bytes)) {
        return Written::kFailed;
    }
    if (!before_known || before != version_) {
        return Written::kDone;  // changed already, or a writer at work: the change shows
    }
    if (!one_set_of_share_modes) {
        // The writer's handle would move the time on as it closes; the data guard still holds.
        lock.reset();
        writer.handle.Reset();
    }
    if (!SetLastWriteTime(time_guard.Get(), version_.last_write_time)) {
        Trace(L"the last-write time of ", leaf_, L" could not be set back after its record was written");
    }
    return Written::kDone;
}

bool JudgedFile::IsTheJudgedFile(HANDLE handle) const {
    const std::optional<FileIdentity> identity = IdentityOf(handle);
    return identity && *identity == identity_;
}

// Makes a new stream of the judged file beside its record, and deletes it at once: the proof that
// streams live inside their files in the file's folder, when no record was made in this event.
bool JudgedFile::ProveStreamsLiveInside() {
    // A name of its own each time: some file systems (ntfs-3g) still show a deleted name for a while.
    static std::atomic<std::uint64_t> probes{0};
    const std::wstring name = record_name_ + L"-probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(probes.fetch_add(1) + 1);
    const Opened probe =
        OpenInFolder(folder_.Get(), name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, Disposition::kCreateNew);
    if (!probe.handle) {
        return false;
    }
    streams_inside_ = IsTheJudgedFile(probe.handle.Get());
    DeleteOnClose(probe.handle.Get());
    return streams_inside_;
}

}  // namespace varnok
