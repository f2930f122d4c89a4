#include "file_calls.h"

#include <winternl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>

#include "blocking_call.h"
#include "srw_lock.h"
#include "stream_text.h"
#include "trace.h"

namespace varnok {

std::atomic<void (*)()> g_stream_lock_wait_hook{nullptr};

namespace {

// Every system call made here, and every handle an open gave (each is closed once).
std::atomic<std::uint64_t> g_calls{0};
std::atomic<std::uint64_t> g_handles{0};

void CountCall() { g_calls.fetch_add(1, std::memory_order_relaxed); }
void CountHandle(bool opened) {
    if (opened) {
        g_handles.fetch_add(1, std::memory_order_relaxed);
    }
}

// Where a handle is opened on a name that another user can have made a named pipe's, the pipe's
// server learns nothing of the library's account and cannot act in its name.
constexpr DWORD kAnonymousClient = SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

// The information classes of NtQueryInformationFile used here, with their records; not every SDK
// declares them.
constexpr auto kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
struct FileInternalRecord {
    LARGE_INTEGER index_number;
};
static_assert(sizeof(FileInternalRecord) == 8);

constexpr ULONG kFileCreated = 2;  // IO_STATUS_BLOCK.Information of an open that made its object

// Reads and writes go in pieces of at most this many bytes; a stream's first read asks for this
// much, which is all of nearly every stream.
constexpr DWORD kIoChunkBytes = 1u << 16;

bool NtSuccess(NTSTATUS status) { return status >= 0; }

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// ---- The memory of locks held long ----------------------------------------------------------
// Files whose lock a wait found held to the end, with the tick until which no wait for them is made
// again. Shared by every worker; more files than anyone locks at once in practice, and a few
// kilobytes. One who locks more than that still ties up no more than kLockWaitersAtOnce workers.
constexpr std::size_t kHeldLongSlots = 256;
constexpr std::uint64_t kHeldLongMemoryMs = 60000;
struct HeldLong {
    std::uint64_t file_index = 0;  // the key the lock was taken under
    std::uint64_t until = 0;
};
SRWLOCK g_held_long_lock = SRWLOCK_INIT;
std::array<HeldLong, kHeldLongSlots> g_held_long{};
std::atomic<std::size_t> g_held_long_count{0};  // slots in use, so that a lock taken at once looks no further

bool IsRememberedHeldLong(std::uint64_t file_index, std::uint64_t now) {
    const SrwShared lock(g_held_long_lock);
    return std::any_of(g_held_long.begin(), g_held_long.end(),
                       [&](const HeldLong& slot) { return slot.file_index == file_index && slot.until > now; });
}

void RememberHeldLong(std::uint64_t file_index, std::uint64_t now) {
    const SrwExclusive lock(g_held_long_lock);
    // The slot of this file, else the one that expires first.
    HeldLong* slot = std::min_element(g_held_long.begin(), g_held_long.end(),
                                      [](const HeldLong& a, const HeldLong& b) { return a.until < b.until; });
    for (HeldLong& candidate : g_held_long) {
        if (candidate.file_index == file_index) {
            slot = &candidate;
        }
    }
    if (slot->until == 0) {
        g_held_long_count.fetch_add(1);
    }
    *slot = HeldLong{file_index, now + kHeldLongMemoryMs};
}

void ForgetHeldLong(std::uint64_t file_index) {
    if (g_held_long_count.load() == 0) {
        return;
    }
    const SrwExclusive lock(g_held_long_lock);
    for (HeldLong& slot : g_held_long) {
        if (slot.until != 0 && slot.file_index == file_index) {
            slot = HeldLong{};
            g_held_long_count.fetch_sub(1);
        }
    }
}

// The workers that may wait for another process's lock at once: the others, finding a lock held
// while that many wait, don't wait, so that locks held for ever on many files never take the pool
// from the files that nobody holds.
constexpr int kLockWaitersAtOnce = 4;
std::atomic<int> g_lock_waiters{0};

struct LockWaiter {
    bool admitted = g_lock_waiters.fetch_add(1) < kLockWaitersAtOnce;
    LockWaiter() = default;
    LockWaiter(const LockWaiter&) = delete;
    LockWaiter& operator=(const LockWaiter&) = delete;
    ~LockWaiter() { g_lock_waiters.fetch_sub(1); }
};

void CallWaitHook() {
    if (void (*const hook)() = g_stream_lock_wait_hook.load()) {
        hook();
    }
}

// ---- The gates of this process ----------------------------------------------------------------
// The library's own threads queue for a record in the process first, each file at its own gate, so
// that only one of them at a time polls the file's lock: a file that many events of this process
// update at once is never mistaken for one whose lock another process holds, and a lock held for
// ever costs one wait, while the others find it remembered. A gate lives while a thread uses it.
struct Gate {
    SRWLOCK lock = SRWLOCK_INIT;
    std::size_t users = 0;
};
SRWLOCK g_gates_lock = SRWLOCK_INIT;
std::unordered_map<std::uint64_t, std::unique_ptr<Gate>> g_gates;

Gate& EnterGate(std::uint64_t file_key, bool exclusive) {
    Gate* gate = nullptr;
    {
        const SrwExclusive lock(g_gates_lock);
        std::unique_ptr<Gate>& slot = g_gates[file_key];
        if (!slot) {
            slot = std::make_unique<Gate>();
        }
        gate = slot.get();
        ++gate->users;
    }
    if (exclusive ? ::TryAcquireSRWLockExclusive(&gate->lock) : ::TryAcquireSRWLockShared(&gate->lock)) {
        return *gate;
    }
    CallWaitHook();
    if (exclusive) {
        ::AcquireSRWLockExclusive(&gate->lock);
    } else {
        ::AcquireSRWLockShared(&gate->lock);
    }
    return *gate;
}

void LeaveGate(std::uint64_t file_key, Gate& gate, bool exclusive) {
    if (exclusive) {
        ::ReleaseSRWLockExclusive(&gate.lock);
    } else {
        ::ReleaseSRWLockShared(&gate.lock);
    }
    const SrwExclusive lock(g_gates_lock);
    if (--gate.users == 0) {
        g_gates.erase(file_key);
    }
}

bool TryLock(HANDLE stream, DWORD flags) {
    OVERLAPPED range = At(kStreamLockOffset);
    const BlockingCall call;
    CountCall();
    return ::LockFileEx(stream, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range) != FALSE;
}

// The size of the data or stream that the handle is open on.
std::optional<std::uint64_t> SizeOf(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    CountCall();
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard))) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
}

}  // namespace

Opened OpenByName(const std::wstring& name, DWORD access, DWORD share) {
    Opened opened;
    const BlockingCall call;
    CountCall();
    opened.handle.Reset(::CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | kAnonymousClient, nullptr));
    opened.error = opened.handle ? ERROR_SUCCESS : ::GetLastError();
    CountHandle(opened.handle.IsValid());
    return opened;
}

Opened OpenFolder(const std::wstring& name) {
    Opened opened;
    const BlockingCall call;
    CountCall();
    opened.handle.Reset(::CreateFileW(name.c_str(), FILE_TRAVERSE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | kAnonymousClient, nullptr));
    opened.error = opened.handle ? ERROR_SUCCESS : ::GetLastError();
    CountHandle(opened.handle.IsValid());
    return opened;
}

Opened OpenInFolder(HANDLE folder, std::wstring_view name, ACCESS_MASK access, DWORD share, Disposition disposition) {
    Opened opened;
    if (name.empty() || name.size() * sizeof(wchar_t) > 0xFFFEu) {
        opened.error = ERROR_INVALID_NAME;
        return opened;
    }
    UNICODE_STRING object_name{};
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = const_cast<wchar_t*>(name.data());
    SECURITY_QUALITY_OF_SERVICE quality{sizeof(quality), SecurityAnonymous, SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NTSTATUS status = 0;
    {
        const BlockingCall call;
        CountCall();
        status = ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                disposition == Disposition::kCreateNew ? FILE_CREATE : FILE_OPEN,
                                FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                nullptr, 0);
    }
    if (!NtSuccess(status)) {
        opened.error = ::RtlNtStatusToDosError(status);
        return opened;
    }
    opened.handle.Reset(handle);
    CountHandle(true);
    opened.created = io.Information == kFileCreated;
    return opened;
}

FileCallCount CountedFileCalls() { return FileCallCount{g_calls.load(), g_handles.load()}; }

bool IsMissing(DWORD open_error) {
    return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND || open_error == ERROR_INVALID_NAME;
}

std::optional<std::uint64_t> FileIndexOf(HANDLE handle) {
    FileInternalRecord record{};
    IO_STATUS_BLOCK io{};
    CountCall();
    if (!NtSuccess(::NtQueryInformationFile(handle, &io, &record, sizeof(record), kFileInternalInformation))) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(record.index_number.QuadPart);
}

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
    FILE_ID_INFO id{};
    CountCall();
    if (!::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof(id))) {
        return std::nullopt;
    }
    FileIdentity identity;
    identity.volume_serial = id.VolumeSerialNumber;
    std::copy(std::begin(id.FileId.Identifier), std::end(id.FileId.Identifier), identity.file_id.begin());
    return identity;
}

std::optional<FileFacts> FactsOf(HANDLE file) {
    FILE_BASIC_INFO basic{};
    CountCall();
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> size = SizeOf(file);
    if (!size) {
        return std::nullopt;
    }
    FileFacts facts;
    facts.creation_time = static_cast<std::uint64_t>(basic.CreationTime.QuadPart);
    facts.version.size = *size;
    facts.version.last_write_time = static_cast<std::uint64_t>(basic.LastWriteTime.QuadPart);
    return facts;
}

bool IsDiskFile(HANDLE handle) {
    CountCall();
    return ::GetFileType(handle) == FILE_TYPE_DISK;
}

bool SetLastWriteTime(HANDLE file, std::uint64_t last_write_time) {
    FILE_BASIC_INFO basic{};  // a time of 0, and attributes of 0, leave those as they are
    basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(last_write_time);
    const BlockingCall call;
    CountCall();
    return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool DeleteOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    CountCall();
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool ReadStreamBytes(HANDLE stream, std::string& bytes, bool& bytes_are_whole) {
    // One read is the whole of a stream shorter than a piece; a longer one is sized first, so that
    // only as much as it holds, and never more than the limit, is read.
    std::string buffer(kIoChunkBytes, '\0');
    std::size_t filled = 0;
    std::size_t wanted = buffer.size();
    bool sized = false;
    std::uint64_t stream_size = 0;
    while (filled < wanted) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, kIoChunkBytes));
        OVERLAPPED at = At(filled);
        DWORD read = 0;
        {
            const BlockingCall call;
            CountCall();
            if (!::ReadFile(stream, buffer.data() + filled, piece, &read, &at) &&
                ::GetLastError() != ERROR_HANDLE_EOF) {
                return false;
            }
        }
        filled += read;
        if (read < piece) {
            break;  // the end of the stream
        }
        if (!sized) {
            LARGE_INTEGER size{};
            CountCall();
            if (!::GetFileSizeEx(stream, &size) || size.QuadPart < 0) {
                return false;
            }
            sized = true;
            stream_size = static_cast<std::uint64_t>(size.QuadPart);
            wanted = static_cast<std::size_t>(std::min<std::uint64_t>(stream_size, kStreamReadLimit));
            buffer.resize(std::max(wanted, filled));
        }
    }
    buffer.resize(std::min(filled, kStreamReadLimit));
    bytes_are_whole = !sized || stream_size <= kStreamReadLimit;
    bytes = std::move(buffer);
    return true;
}

bool WriteStreamBytes(HANDLE stream, const std::string& bytes) {
    // Sized rather than opened with truncation (CREATE_ALWAYS refuses a file that carries the
    // hidden or system attribute unless the same attributes are passed back), and set to its new
    // length, not to zero, before the bytes go over the old ones: file systems that take "cut to
    // zero, then write" for a file being replaced write its data out at the close (ext4 does,
    // which makes a save under Wine ten times as slow).
    const BlockingCall call;
    FILE_END_OF_FILE_INFO end_of_file{};
    end_of_file.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes.size());
    CountCall();
    if (!::SetFileInformationByHandle(stream, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file))) {
        return false;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kIoChunkBytes));
        OVERLAPPED at = At(written);
        DWORD done = 0;
        CountCall();
        if (!::WriteFile(stream, bytes.data() + written, piece, &done, &at) || done == 0) {
            // As after a cut to zero: the stream holds what was written, nothing of the old bytes.
            end_of_file.EndOfFile.QuadPart = static_cast<LONGLONG>(written);
            ::SetFileInformationByHandle(stream, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file));
            return false;
        }
        written += done;
    }
    return true;
}

StreamLock::StreamLock(HANDLE stream, bool exclusive, std::uint64_t file_key)
    : stream_(stream), file_key_(file_key), exclusive_(exclusive), gate_(&EnterGate(file_key, exclusive)) {
    const DWORD flags = exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (TryLock(stream, flags)) {
        state_ = LockState::kHeld;
        ForgetHeldLong(file_key);
        return;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
        return;  // kFailed
    }
    // Someone holds it: an update of another event, or another process. The lock is polled rather
    // than waited for in the kernel, so that the wait ends when it should.
    const std::uint64_t start = ::GetTickCount64();
    state_ = LockState::kBusy;
    if (IsRememberedHeldLong(file_key, start)) {
        return;
    }
    const LockWaiter waiter;
    if (!waiter.admitted) {
        Trace(L"a stream's lock is held while other workers wait for such locks: not waited for");
        return;
    }
    CallWaitHook();
    DWORD pause_ms = 1;
    while (!WaitsAbandoned()) {
        ::Sleep(pause_ms);
        pause_ms = std::min<DWORD>(pause_ms * 2, 16);
        if (TryLock(stream, flags)) {
            state_ = LockState::kHeld;
            ForgetHeldLong(file_key);
            return;
        }
        if (::GetLastError() != ERROR_LOCK_VIOLATION) {
            state_ = LockState::kFailed;
            return;
        }
        const std::uint64_t now = ::GetTickCount64();
        if (now - start >= kFileWaitLimitMs) {
            RememberHeldLong(file_key, now);
            return;
        }
    }
}

StreamLock::~StreamLock() {
    if (state_ == LockState::kHeld) {
        OVERLAPPED range = At(kStreamLockOffset);
        CountCall();
        ::UnlockFileEx(stream_, 0, 1, 0, &range);
    }
    LeaveGate(file_key_, *static_cast<Gate*>(gate_), exclusive_);
}

}  // namespace varnok
