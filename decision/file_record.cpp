// The judged file's record: its read, and its read-modify-write under the stream's lock.
#include "file_record.h"

#include "file_calls.h"
#include "stream_content.h"
#include "stream_lock.h"
#include "stream_text.h"
#include "trace.h"

namespace varnok {

StreamState FileRecord::Read(StreamText& record, RecordLock lock) noexcept {
    try {
        return ReadOnce(record, lock);
    } catch (...) {
        held_.reset();
        Trace(L"the record of ", file_.Leaf(), L" could not be read: an exception");
        return StreamState::kUnreadable;
    }
}

StreamState FileRecord::ReadOnce(StreamText& record, RecordLock lock_kind) {
    held_.reset();
    if (!file_.RecordIsItsOwn()) {
        return StreamState::kUnreadable;
    }
    DWORD error = ERROR_SUCCESS;
    UniqueHandle stream = file_.OpenItsOwn(file_.RecordName(), GENERIC_READ, kShareAll, error);
    if (!stream) {
        if (!file_.RecordIsItsOwn() || !IsMissing(error)) {
            return StreamState::kUnreadable;
        }
        held_.emplace();  // known to be missing: an update creates it
        return StreamState::kMissing;
    }
    std::optional<StreamLock> lock;
    if (lock_kind == RecordLock::kShared) {
        lock.emplace(stream.Get(), LockMode::kShared, file_.RecordLockKey());
        if (lock->State() == LockState::kBusy) {
            file_.CountRecordAsUnknown(L"its lock was held too long");
        }
        if (lock->State() != LockState::kHeld) {
            return StreamState::kUnreadable;
        }
    }
    RecordAsRead read;
    if (!ReadStreamBytes(stream.Get(), read.bytes, read.whole)) {
        return StreamState::kUnreadable;
    }
    record = DecodeStream(read.bytes, read.whole);
    if (lock_kind == RecordLock::kNone) {
        read.stream = std::move(stream);
        held_ = std::move(read);
    }
    return StreamState::kLoaded;
}

RecordUpdate FileRecord::Update(StreamText& record, TextChange change, void* context) noexcept {
    RecordUpdate update = RecordUpdate::kFailed;
    try {
        update = UpdateOnce(record, change, context);
    } catch (...) {
        Trace(L"the record of ", file_.Leaf(), L" could not be updated: an exception");
    }
    held_.reset();
    return update;
}

RecordUpdate FileRecord::UpdateOnce(StreamText& record, TextChange change, void* context) {
    if (!held_ && ReadOnce(record, RecordLock::kNone) == StreamState::kUnreadable) {
        return file_.RecordIsItsOwn() ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
    }
    // Twice at most: a record found missing may be created by another event before this one can.
    for (int attempt = 0; attempt < 2 && file_.RecordIsItsOwn() && held_; ++attempt) {
        record = DecodeStream(held_->bytes, held_->whole);
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
            lock.emplace(held_->stream.Get(), LockMode::kExclusive, file_.RecordLockKey());
            if (lock->State() == LockState::kBusy) {
                file_.CountRecordAsUnknown(L"its lock was held too long");
                return RecordUpdate::kUnknown;
            }
            if (lock->State() != LockState::kHeld ||
                !ReadStreamBytes(held_->stream.Get(), held_->bytes, held_->whole)) {
                return RecordUpdate::kFailed;
            }
            record = DecodeStream(held_->bytes, held_->whole);
            if (!change(context, record) || !record.whole) {
                return record.whole ? RecordUpdate::kUnchanged : RecordUpdate::kRefused;
            }
            changed = EncodeStreamText(record.text);
            if (changed == held_->bytes) {
                return RecordUpdate::kUnchanged;
            }
        }
        switch (writer_.Write(held_->bytes, changed, exists ? Disposition::kOpenExisting : Disposition::kCreateNew)) {
            case RecordWrite::kWritten:
                return RecordUpdate::kWritten;
            case RecordWrite::kUnknown:
                return RecordUpdate::kUnknown;
            case RecordWrite::kFailed:
                return RecordUpdate::kFailed;
            case RecordWrite::kMadeMeanwhile:  // by another event: updated as it is now
                lock.reset();
                ReadOnce(record, RecordLock::kNone);
                break;
        }
    }
    return file_.RecordIsItsOwn() ? RecordUpdate::kFailed : RecordUpdate::kUnknown;
}

}  // namespace varnok
