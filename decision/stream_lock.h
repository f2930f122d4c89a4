// The lock that stands for a whole stream, and every wait for it bounded: at the file's gate in this
// process, and for another process's hold.
//
// It is one byte far beyond any data that a stream can hold, locked with LockFileEx, so that it
// belongs to the file whatever name opened it, and holds across processes (another program that
// changes the stream takes the same lock). The library's own threads queue for it in the process
// first, each file at its own gate. Every wait ends at once when the client stops: the thread ahead
// may be held up in a call that only a cancel ends, and another process may never let go.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnok {

inline constexpr unsigned long long kStreamLockOffset = 1ULL << 62;

enum class LockMode { kShared, kExclusive };

enum class LockState {
    kHeld,
    kBusy,    // the wait for it ran out, or the thread's waits were abandoned (the client stops)
    kFailed,  // the file system refused it
};

// Names one file in the gates of this process and in the memory of long-held locks: its index on its
// volume with the name of its stream, so that an index that a file system hands out again to a new
// file is not taken for the old file's.
struct FileKey {
    FileKey() = default;
    FileKey(std::uint64_t file_index, std::wstring_view stream_name);
    std::uint64_t value = 0;
    bool operator==(const FileKey&) const = default;
};

// Takes the stream's lock on the handle: first the file's gate in this process, waiting at most
// kFileWaitLimitMs for the library's other threads ahead, then the lock itself, waiting at most
// kFileWaitLimitMs while another process holds it. Less when the thread's waits are abandoned, and
// not at all for a file whose lock was found held that long before: once a wait for a file's lock
// has run out, waits for it end at once until its lock is taken again or a minute has passed, so a
// lock that is never released costs one wait, not one per event. And only a few threads at once wait
// for other processes' locks; the others don't wait (busy), so that locks held on many files never
// take the pool from the files that nobody holds. Released when it goes, before the handle closes.
// The file's gate in this process, held for a scope: entered first by every StreamLock, and alone by
// whoever is about to make the stream, which has no lock before it exists. Waits at most
// kFileWaitLimitMs for the library's other threads ahead, less when the thread's waits are abandoned.
// `stream` names the wait for the file layer's seam; it may be null.
class FileGate {
public:
    FileGate(FileKey file, LockMode mode, HANDLE stream);
    FileGate(const FileGate&) = delete;
    FileGate& operator=(const FileGate&) = delete;
    ~FileGate();
    [[nodiscard]] bool Entered() const { return entered_; }

private:
    FileKey file_;
    LockMode mode_;
    bool entered_ = false;
};

// Whether a StreamLock enters the file's gate itself, or its caller holds it already (a FileGate).
enum class GateHold { kEnter, kHeldByCaller };

class StreamLock {
public:
    StreamLock(HANDLE stream, LockMode mode, FileKey file, GateHold gate = GateHold::kEnter);
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    ~StreamLock();
    [[nodiscard]] LockState State() const { return state_; }

private:
    HANDLE stream_;
    std::optional<FileGate> gate_;  // left after the lock is released
    LockState state_ = LockState::kFailed;
};

}  // namespace varnok
