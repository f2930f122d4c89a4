// The file-system calls of the decision, on handles: opening a name inside a folder that the
// library holds, reading what identifies a file and its version, reading and writing a stream's
// bytes, and the lock that stands for a stream. Every call that another process can hold up runs
// under the worker's watch (blocking_call.h). No call follows a link that the opened name itself
// is, and none lets a server impersonate the library's account.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record_seal.h"
#include "unique_handle.h"

namespace varnok {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Readers and deleters (a rename too) may go on; a writer may neither be there nor come.
inline constexpr DWORD kShareAllButWriting = FILE_SHARE_READ | FILE_SHARE_DELETE;

// What an open gave: the handle, or the Win32 error; and whether it made the object.
struct Opened {
    UniqueHandle handle;
    DWORD error = ERROR_SUCCESS;
    bool created = false;
};

// Opens an existing file or stream by its full (extended-length) name.
Opened OpenByName(const std::wstring& name, DWORD access, DWORD share);

// Opens a folder by its full name, for opening names inside it.
Opened OpenFolder(const std::wstring& name);

enum class Disposition { kOpenExisting, kCreateNew };

// Opens `name` ("x.exe", "x.exe:varnok") inside the held folder: never through another folder,
// and without following a link that the name itself is.
Opened OpenInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, DWORD share, Disposition disposition);

// The system calls made through these functions so far in this process, and the handles their opens
// gave, each of which is closed once: for the benchmark, which compares the library's calls with
// its floor's.
struct FileCallCount {
    std::uint64_t calls = 0;
    std::uint64_t handles = 0;
};
FileCallCount CountedFileCalls();

// Whether the open failed because there is no such name.
bool IsMissing(DWORD open_error);

// The number by which the file system tells the file of an open handle from every other file on its
// volume; a stream's handle has its file's where streams live inside their files.
std::optional<std::uint64_t> FileIndexOf(HANDLE handle);

// The volume's serial number and the file's 128-bit ID.
std::optional<FileIdentity> IdentityOf(HANDLE handle);

// A file's creation time and its version, asked of the handle itself: its basic facts and its size.
// (FILE_NETWORK_OPEN_INFORMATION gives all of them at once, but Wine answers it from the name the
// handle was opened by, looked up again: after a swap of the folder, another file's, or none.)
struct FileFacts {
    std::uint64_t creation_time = 0;
    FileVersion version;
};
std::optional<FileFacts> FactsOf(HANDLE file);

// Whether the handle is of a file on a disk: not a pipe, a console or another device.
bool IsDiskFile(HANDLE handle);

// Sets the file's last-write time, leaving its other times alone.
bool SetLastWriteTime(HANDLE file, std::uint64_t last_write_time);

// Deletes, once the handle closes, what the handle was opened on (it needs DELETE access).
bool DeleteOnClose(HANDLE handle);

// The stream's first bytes, at most kStreamReadLimit of them, read from its start, and whether they
// are all of it; false when it can't be read.
bool ReadStreamBytes(HANDLE stream, std::string& bytes, bool& bytes_are_whole);

// Makes the bytes the stream's whole content, writing from its start.
bool WriteStreamBytes(HANDLE stream, const std::string& bytes);

// The lock of one byte far beyond any data that a stream can hold, standing for the whole stream's:
// it belongs to the file, whatever name opened it, and holds across processes.
inline constexpr unsigned long long kStreamLockOffset = 1ULL << 62;

enum class LockState { kHeld, kBusy, kFailed };

// Takes the stream's lock on the handle, after the library's other threads that take it (they
// queue for it in the process, without a limit: none holds it long), waiting at most
// kFileWaitLimitMs while someone else holds it (less when the thread's waits are abandoned, none for a file whose lock
// was found held that long before: see below), and releases it when it goes, before the handle closes. Busy: the wait
// ran out. `file_key` names the file in the memory of long-held locks (its index and name, say, so
// that a file index that a file system gives again to a new file is not taken for the old one):
// once a wait for a file's lock has run out, waits for it end at once until its lock is taken again
// or a minute has passed, so one lock that is never released costs one wait, not one per event.
// A few threads at most wait for other processes' locks at once; the others don't wait (busy).
class StreamLock {
public:
    StreamLock(HANDLE stream, bool exclusive, std::uint64_t file_key);
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    ~StreamLock();
    [[nodiscard]] LockState State() const { return state_; }

private:
    HANDLE stream_;
    std::uint64_t file_key_;
    bool exclusive_;
    void* gate_;  // the file's gate in this process, entered first (file_calls.cpp)
    LockState state_ = LockState::kFailed;
};

// For tests: called, when set, by a lock that finds the lock held and is about to wait for it.
extern std::atomic<void (*)()> g_stream_lock_wait_hook;

}  // namespace varnok
