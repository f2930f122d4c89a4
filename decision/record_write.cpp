// How the record's bytes go into the judged file, held against writers, and as it was if that fails.
#include "record_write.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <optional>

#include "stream_content.h"
#include "stream_lock.h"
#include "trace.h"

namespace varnok {
namespace {

// What holds a file's data against writers while its record is written, where share modes are kept
// per stream; it also reads the file's version and sets its time.
constexpr ACCESS_MASK kDataGuardAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
// What sets the time where the record's writer keeps writers out itself.
constexpr ACCESS_MASK kAttributesAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// How the file is held against writers during one write.
enum class WriterGuard {
    kDataHandle,    // a handle of its data that shares no writing: share modes are kept per stream
    kRecordWriter,  // the record's writer itself: one set of share modes covers the file and its streams
    kNone,          // a writer of the file is at work: the time is left as its writes make it
};

bool IsExisting(DWORD open_error) { return open_error == ERROR_FILE_EXISTS || open_error == ERROR_ALREADY_EXISTS; }

// Volumes whose share modes cover a file and all its streams as one set, each by its serial number
// and the name that reached it ("\\?\C:", "\\?\UNC\server\share"): a server can report any serial,
// a local volume's too, but not take that volume's name. A few at most in any process. Learnt only
// from a new stream whose creation the library's own guard of the file's data refused: where share
// modes are kept per stream nothing can refuse a stream that did not exist, so no other process can
// make the library learn it falsely.
std::array<std::atomic<std::uint64_t>, 8> g_one_set_volumes{};

// The volume's key in that memory; never 0, which marks a free slot.
std::uint64_t VolumeKey(const JudgedFile& file) {
    return (file.Identity().volume_serial ^ std::hash<std::wstring_view>{}(file.VolumeName())) | 1;
}

bool SharesModesPerFile(std::uint64_t volume) {
    return std::any_of(g_one_set_volumes.begin(), g_one_set_volumes.end(),
                       [&](const std::atomic<std::uint64_t>& slot) { return slot.load() == volume; });
}

void RememberSharesModesPerFile(std::uint64_t volume) {
    for (std::atomic<std::uint64_t>& slot : g_one_set_volumes) {
        std::uint64_t free = 0;
        if (slot.load() == volume || slot.compare_exchange_strong(free, volume)) {
            return;
        }
    }
}

}  // namespace

// Where share modes are kept per stream (Windows), a handle of the file's data that shares no
// writing keeps writers of its content out, beside the record's own writer. Where one set covers the
// file and all its streams (ntfs-3g under Wine), that handle keeps the library's writer out too, so
// there the writer itself, sharing no writing, keeps every other writer of the file out, and a handle
// of the file's attributes alone sets the time. A writer refused while the data guard is held tells
// which holds: for a new stream, for the whole volume (above); for an existing record, whose writer
// may also be another process's, for this one write. A writer of the file at work is never waited
// for: the record is written all the same, and the time is left as its writes make it.
RecordWrite RecordWriter::Write(const std::string& before, const std::string& after, Disposition disposition) {
    const bool create = disposition == Disposition::kCreateNew;
    const ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE | (create ? DELETE : 0);
    const auto open_writer = [&](DWORD share) {
        return file_.OpenInFolder(file_.RecordName(), access, share, disposition);
    };
    const auto not_written = [&] { return file_.RecordIsItsOwn() ? RecordWrite::kFailed : RecordWrite::kUnknown; };

    // A record to be made is held in this process before its writer exists: where one set of share
    // modes covers the file and its streams, that writer keeps the file from opening for another
    // event's age test, which waits at the gate until the record is written (judged_file.cpp).
    std::optional<FileGate> making;
    if (create && !making.emplace(file_.RecordLockKey(), LockMode::kExclusive, nullptr).Entered()) {
        file_.CountRecordAsUnknown(L"its gate was held too long");
        return RecordWrite::kUnknown;
    }

    // Opened first: the file is still there, and is the judged one, before its record is made.
    DWORD error = ERROR_SUCCESS;
    const std::uint64_t volume = VolumeKey(file_);
    const bool one_set = SharesModesPerFile(volume);
    UniqueHandle time_guard = file_.OpenItsOwn(file_.Leaf(), one_set ? kAttributesAccess : kDataGuardAccess,
                                               one_set ? kShareAll : kShareAllButWriting, error);
    if (!file_.RecordIsItsOwn() || (!time_guard && (one_set || error != ERROR_SHARING_VIOLATION))) {
        return not_written();  // gone, or another file's: never made anew
    }
    WriterGuard guard = one_set      ? WriterGuard::kRecordWriter
                        : time_guard ? WriterGuard::kDataHandle
                                     : WriterGuard::kNone;
    Opened writer = open_writer(guard == WriterGuard::kNone ? kShareAll : kShareAllButWriting);
    if (!writer.handle && writer.error == ERROR_SHARING_VIOLATION && guard == WriterGuard::kDataHandle) {
        // Refused by the library's own data guard, under one set of share modes, or by another's writer.
        if (create) {
            RememberSharesModesPerFile(volume);
        }
        time_guard.Reset();
        time_guard = file_.OpenItsOwn(file_.Leaf(), kAttributesAccess, kShareAll, error);
        if (!time_guard) {
            return not_written();
        }
        guard = WriterGuard::kRecordWriter;
        writer = open_writer(kShareAllButWriting);
    }
    if (!writer.handle && writer.error == ERROR_SHARING_VIOLATION && guard == WriterGuard::kRecordWriter) {
        guard = WriterGuard::kNone;  // a writer of the file is at work
        writer = open_writer(kShareAll);
    }
    if (!writer.handle) {
        if (create && IsExisting(writer.error)) {
            return RecordWrite::kMadeMeanwhile;
        }
        Trace(L"the record of ", file_.Leaf(), L" could not be opened for writing: ", TraceHex{writer.error});
        return not_written();
    }
    const bool its_own = file_.RecordIsItsOwn() && file_.Owns(FileIndexOf(writer.handle.Get()));
    if (its_own && writer.created) {
        // Made here and now, by an open that can only create: a record that is the judged file shows
        // that streams live inside their files in this folder.
        streams_inside_ = file_.IsTheJudgedFile(writer.handle.Get());
    }
    if (!its_own || (writer.created && !streams_inside_)) {
        if (writer.created) {
            DeleteOnClose(writer.handle.Get());
        }
        file_.CountRecordAsUnknown(L"its name in the folder leads to another file");
        return RecordWrite::kUnknown;
    }
    // A record just made is locked as well, so that no other process reads it before it is written.
    std::optional<StreamLock> lock;
    if (create) {
        lock.emplace(writer.handle.Get(), LockMode::kExclusive, file_.RecordLockKey(), GateHold::kHeldByCaller);
        if (lock->State() != LockState::kHeld) {
            return RecordWrite::kMadeMeanwhile;  // another opened it first: updated as it is then
        }
    }
    // The file's version before the write; unknown while a writer of the file is at work, when the
    // time is not set back.
    std::optional<FileFacts> facts_before;
    if (time_guard && guard != WriterGuard::kNone) {
        facts_before = FactsOf(time_guard.Get());
    }
    if (!writer.created && !streams_inside_ && !ProveStreamsLiveInside()) {
        file_.CountRecordAsUnknown(L"nothing shows that a name of a stream in its folder is no link");
        return RecordWrite::kUnknown;
    }
    if (!ReplaceStreamBytes(writer.handle.Get(), before, after)) {
        if (writer.created) {
            DeleteOnClose(writer.handle.Get());  // made for this write: gone again, as it was
        }
        return RecordWrite::kFailed;
    }
    if (!facts_before || facts_before->version != file_.Version()) {
        return RecordWrite::kWritten;  // changed already, or a writer at work: the change shows
    }
    if (guard == WriterGuard::kDataHandle) {
        // The writer's handle would move the time on as it closes; the data guard still holds.
        lock.reset();
        writer.handle.Reset();
    }
    if (!SetLastWriteTime(time_guard.Get(), file_.Version().last_write_time)) {
        Trace(L"the last-write time of ", file_.Leaf(), L" could not be set back after its record was written");
    }
    return RecordWrite::kWritten;
}

// Makes a new stream of the judged file beside its record, and deletes it at once: the proof that
// streams live inside their files in the file's folder, when no record was made in this event.
bool RecordWriter::ProveStreamsLiveInside() {
    // A name of its own each time: some file systems (ntfs-3g) still show a deleted name for a while.
    static std::atomic<std::uint64_t> probes{0};
    const std::wstring name = file_.RecordName() + L"-probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(probes.fetch_add(1) + 1);
    const Opened probe = file_.OpenInFolder(name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, Disposition::kCreateNew);
    if (!probe.handle) {
        return false;
    }
    streams_inside_ = file_.IsTheJudgedFile(probe.handle.Get());
    DeleteOnClose(probe.handle.Get());
    return streams_inside_;
}

}  // namespace varnok
