// Small owners for Win32 handles and process-heap blocks, so that every exit path releases them.
#pragma once

#include <windows.h>

#include <memory>
#include <utility>

#include "status.h"
#include "trace.h"

namespace varnok {

// Owns a kernel handle; null and INVALID_HANDLE_VALUE both mean "none". A close that fails is left
// in the developer's trace. Closing keeps the thread's last error, as the handle owners of the
// Windows ecosystem do, so a caller that reads GetLastError after a Reset reads the error of the
// call it made, not of the close. Used by one thread at a time.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    [[nodiscard]] HANDLE Get() const { return handle_; }
    [[nodiscard]] bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }

    HANDLE Release() { return std::exchange(handle_, nullptr); }
    void Reset(HANDLE handle = nullptr) {
        const DWORD last_error = ::GetLastError();
        CloseOwned(std::exchange(handle_, handle));
        ::SetLastError(last_error);
    }

    // Takes the handle that a call has just made (CreateEventW, CreateThread...), and answers S_OK,
    // or the failure that this very call left in the last error: call it right after the call.
    HResult Adopt(HANDLE made) {
        Reset(made);
        if (IsValid()) {
            return kSOk;
        }
        const DWORD error = ::GetLastError();
        return error == ERROR_SUCCESS ? kEFail : HResultFromWin32(error);
    }

    // Closes the handle now and answers how that went: S_OK, or the failure (also traced).
    HResult Close() noexcept { return CloseOwned(std::exchange(handle_, nullptr)); }

private:
    static HResult CloseOwned(HANDLE handle) noexcept {
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle)) {
            return kSOk;
        }
        const HResult failure = HResultFromWin32(::GetLastError());
        Trace(L"a handle did not close: ", TraceHex{static_cast<std::uint32_t>(failure)});
        return failure;
    }

    HANDLE handle_ = nullptr;
};

// The deleter of HeapPtr: gives a block back to the process heap.
struct ProcessHeapFree {
    void operator()(void* block) const { ::HeapFree(::GetProcessHeap(), 0, block); }
};

// A block of the process heap, freed with HeapFree.
template <class T>
using HeapPtr = std::unique_ptr<T, ProcessHeapFree>;

}  // namespace varnok
