#include "stream_file.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "stream_text.h"
#include "trace.h"
#include "unique_handle.h"

namespace varnok {

std::atomic<void (*)()> g_stream_lock_wait_hook{nullptr};

namespace {

// Other handles on the stream, the scanner's and the writer's of the file alike, may read and
// write while we hold ours, and the file may be deleted or renamed meanwhile.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Reads and writes go in pieces of at most this many bytes.
constexpr DWORD kIoChunkBytes = 1u << 20;

UniqueHandle OpenStream(const wchar_t* p_name, DWORD access, DWORD disposition) {
    return UniqueHandle(::CreateFileW(p_name, access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether a failed open found no stream (nor, perhaps, its file), from the Win32 error code of the
// open itself: the one lookup of the name tells presence and opens alike. (A separate query first,
// GetFileAttributesW say, would look the name up twice for every stream, and a name that is missing
// is the dearest lookup there is on some file systems.) Any other failure (a sharing conflict,
// access denied) means the stream may well be there.
bool IsMissing(DWORD open_error) {
    return open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND || open_error == ERROR_INVALID_NAME;
}

// Opens the stream for `access`; a missing one is created, but only on a file that exists: the
// file is held open (by a handle that reads nothing and shares everything) while its stream is
// created, so that a file that has gone, deleted or moved away by a scan that quarantined it, is
// not made anew under its old name. An existing stream needs no such check: it has its file.
UniqueHandle OpenOnExistingFile(const StreamFile& stream, DWORD access) {
    const wchar_t* const p_name = stream.path.c_str();
    UniqueHandle h_stream = OpenStream(p_name, access, OPEN_EXISTING);
    if (h_stream || !IsMissing(::GetLastError())) {
        return h_stream;
    }
    const UniqueHandle h_file(
        ::CreateFileW(stream.file_path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h_file) {
        return UniqueHandle();
    }
    return OpenStream(p_name, access, OPEN_ALWAYS);
}

// The one byte whose lock stands for the whole stream's.
OVERLAPPED LockRange() {
    OVERLAPPED range{};
    range.Offset = static_cast<DWORD>(kStreamLockOffset & 0xFFFFFFFFu);
    range.OffsetHigh = static_cast<DWORD>(kStreamLockOffset >> 32);
    return range;
}

// The lock of kStreamLockOffset on one handle, released when it goes (before the handle closes).
// It borrows the handle; it lives on the stack of the thread that reads or writes the stream.
class StreamLock {
public:
    StreamLock(HANDLE h_stream, bool exclusive) : h_stream_(h_stream) {
        const DWORD flags = exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
        OVERLAPPED range = Range();
        held_ = ::LockFileEx(h_stream_, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range) != FALSE;
        if (held_ || ::GetLastError() != ERROR_LOCK_VIOLATION) {
            return;
        }
        // Another update of the stream is under way: wait for it, in the kernel's queue of waiters.
        if (void (*const p_hook)() = g_stream_lock_wait_hook.load()) {
            p_hook();
        }
        range = Range();
        held_ = ::LockFileEx(h_stream_, flags, 0, 1, 0, &range) != FALSE;
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
    ~StreamLock() {
        if (held_) {
            OVERLAPPED range = Range();
            ::UnlockFileEx(h_stream_, 0, 1, 0, &range);
        }
    }
    [[nodiscard]] bool Held() const { return held_; }

private:
    static OVERLAPPED Range() { return LockRange(); }

    HANDLE h_stream_;
    bool held_ = false;
};

// The stream's first bytes, at most kStreamReadLimit of them, read from its start whatever its file
// pointer, and whether they are all of it; false when it can't be read.
bool ReadStreamBytes(HANDLE h_stream, std::string& bytes, bool& bytes_are_whole) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h_stream, &size) || size.QuadPart < 0) {
        return false;
    }
    // Sized by the stream rather than by the limit, so a small stream costs a small buffer. A
    // stream that grows meanwhile is read as far as it reached when asked.
    const auto stream_size = static_cast<unsigned long long>(size.QuadPart);
    const auto wanted =
        static_cast<std::size_t>(std::min(stream_size, static_cast<unsigned long long>(kStreamReadLimit)));
    std::string buffer(wanted, '\0');
    std::size_t filled = 0;
    while (filled < wanted) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(wanted - filled, kIoChunkBytes));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(filled & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(filled) >> 32);
        DWORD read = 0;
        if (!::ReadFile(h_stream, buffer.data() + filled, piece, &read, &at)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        filled += read;
    }
    buffer.resize(filled);
    bytes = std::move(buffer);
    bytes_are_whole = stream_size <= kStreamReadLimit;
    return true;
}

bool SetStreamLength(HANDLE h_stream, std::size_t length) {
    FILE_END_OF_FILE_INFO end_of_file{};
    end_of_file.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFileInformationByHandle(h_stream, FileEndOfFileInfo, &end_of_file, sizeof(end_of_file)) != FALSE;
}

// Makes the bytes the stream's whole content, writing from its start whatever its file pointer.
bool WriteStreamBytes(HANDLE h_stream, const std::string& bytes) {
    // Sized rather than opened with truncation (CREATE_ALWAYS refuses a file that carries the
    // hidden or system attribute unless the same attributes are passed back), and set to its new
    // length, not to zero, before the bytes go over the old ones: file systems that take "cut to
    // zero, then write" for a file being replaced write its data out at the close (ext4 does,
    // which makes a save under Wine ten times as slow).
    if (!SetStreamLength(h_stream, bytes.size())) {
        return false;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, kIoChunkBytes));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(written & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(written) >> 32);
        DWORD done = 0;
        if (!::WriteFile(h_stream, bytes.data() + written, piece, &done, &at) || done == 0) {
            // As after a cut to zero: the stream holds what was written, nothing of the old bytes.
            SetStreamLength(h_stream, written);
            return false;
        }
        written += done;
    }
    return true;
}

// Writes the bytes through a handle of its own, opened only while the caller holds the stream's
// exclusive lock on its reading handle. So the library never has a handle that may write a stream
// without holding that lock, and whoever holds the lock shared knows that no handle of the
// library's writes the stream (see QuietStream). The lock's byte lies far beyond the data, so it
// never stands in the way of this handle's writes.
bool WriteUnderLock(const StreamFile& stream, const std::string& bytes) {
    const UniqueHandle h_writer = OpenStream(stream.path.c_str(), GENERIC_WRITE, OPEN_EXISTING);
    return h_writer && WriteStreamBytes(h_writer.Get(), bytes);
}

}  // namespace

QuietStream::QuietStream(const StreamFile& stream) {
    UniqueHandle h_stream = OpenStream(stream.path.c_str(), GENERIC_READ, OPEN_EXISTING);
    if (!h_stream) {
        return;  // a missing stream has no writer
    }
    OVERLAPPED range = LockRange();
    if (::LockFileEx(h_stream.Get(), 0, 0, 1, 0, &range)) {
        h_stream_ = h_stream.Release();
    }
}

QuietStream::~QuietStream() {
    if (h_stream_ != nullptr) {
        OVERLAPPED range = LockRange();
        ::UnlockFileEx(h_stream_, 0, 1, 0, &range);
        ::CloseHandle(h_stream_);
    }
}

StreamFile::StreamFile(const std::wstring& file_path_in, const std::wstring& stream_name, bool create)
    : path(file_path_in + L":" + stream_name), file_path(file_path_in), create_if_missing(create) {}

namespace {

StreamState ReadInto(StreamFile& stream, bool locked) {
    UniqueHandle h_stream = OpenStream(stream.path.c_str(), GENERIC_READ, OPEN_EXISTING);
    if (!h_stream) {
        if (!IsMissing(::GetLastError())) {
            return StreamState::kUnreadable;
        }
        if (stream.create_if_missing && OpenOnExistingFile(stream, GENERIC_WRITE)) {
            return StreamState::kLoaded;
        }
        return StreamState::kMissing;
    }
    std::optional<StreamLock> lock;
    if (locked) {
        lock.emplace(h_stream.Get(), false);
        if (!lock->Held()) {
            return StreamState::kUnreadable;
        }
    }
    std::string bytes;
    bool bytes_are_whole = true;
    if (!ReadStreamBytes(h_stream.Get(), bytes, bytes_are_whole)) {
        return StreamState::kUnreadable;
    }
    StreamText decoded = DecodeStream(bytes, bytes_are_whole);
    stream.text = std::move(decoded.text);
    stream.whole = decoded.whole;
    return StreamState::kLoaded;
}

// What a caught exception cost: the operation gives its quiet answer, and the developer's trace
// says why.
void TraceSwallowed(const wchar_t* operation, const StreamFile& stream) noexcept {
    Trace(operation, L" of ", stream.path.native(), L" stopped by an exception");
}

}  // namespace

StreamState StreamFile::Read() noexcept {
    try {
        return ReadInto(*this, false);
    } catch (...) {
        TraceSwallowed(L"read", *this);
        return StreamState::kUnreadable;
    }
}

StreamState StreamFile::ReadLocked() noexcept {
    try {
        return ReadInto(*this, true);
    } catch (...) {
        TraceSwallowed(L"locked read", *this);
        return StreamState::kUnreadable;
    }
}

bool StreamFile::GetValue(const std::wstring& key, std::wstring& value) const noexcept {
    try {
        auto found = FindStreamValue(text, key);
        if (!found) {
            return false;
        }
        value = std::move(*found);
        return true;
    } catch (...) {
        TraceSwallowed(L"value lookup", *this);
        return false;
    }
}

void StreamFile::SetValue(const std::wstring& key, const std::wstring& value) noexcept {
    try {
        SetStreamValue(text, key, value);
    } catch (...) {
        TraceSwallowed(L"value change", *this);
    }
}

void StreamFile::Save() noexcept {
    try {
        if (!whole) {
            return;
        }
        // Encoded before the stream is opened, so that a failure here leaves its content alone.
        const std::string bytes = EncodeStreamText(text);
        const UniqueHandle h_stream = OpenOnExistingFile(*this, GENERIC_READ);
        if (!h_stream) {
            return;
        }
        const StreamLock lock(h_stream.Get(), true);
        if (lock.Held()) {
            WriteUnderLock(*this, bytes);
        }
    } catch (...) {
        TraceSwallowed(L"save", *this);
    }
}

StreamUpdate StreamFile::Update(TextChange change, void* p_context) noexcept {
    try {
        // Read under the lock, and written under it too, so the lock covers the whole step.
        const UniqueHandle h_stream = OpenOnExistingFile(*this, GENERIC_READ);
        if (!h_stream) {
            return StreamUpdate::kFailed;
        }
        const StreamLock lock(h_stream.Get(), true);
        std::string bytes;
        bool bytes_are_whole = true;
        if (!lock.Held() || !ReadStreamBytes(h_stream.Get(), bytes, bytes_are_whole)) {
            return StreamUpdate::kFailed;
        }
        StreamText decoded = DecodeStream(bytes, bytes_are_whole);
        text = std::move(decoded.text);
        whole = decoded.whole;
        if (!change(p_context, *this)) {
            return StreamUpdate::kUnchanged;
        }
        if (!whole) {
            return StreamUpdate::kRefused;
        }
        const std::string changed = EncodeStreamText(text);
        if (changed == bytes) {
            return StreamUpdate::kUnchanged;
        }
        return WriteUnderLock(*this, changed) ? StreamUpdate::kWritten : StreamUpdate::kFailed;
    } catch (...) {
        TraceSwallowed(L"update", *this);
        return StreamUpdate::kFailed;
    }
}

}  // namespace varnok
