// Small owners for Win32 handles and process-heap blocks, so that every exit path releases them.
#pragma once

#include <windows.h>

#include <memory>
#include <utility>

namespace varnok {

// Owns a kernel handle; null and INVALID_HANDLE_VALUE both mean "none".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    [[nodiscard]] HANDLE get() const { return handle_; }
    [[nodiscard]] bool is_valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return is_valid(); }

    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr) {
        const HANDLE old = std::exchange(handle_, handle);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) {
            ::CloseHandle(old);
        }
    }

private:
    HANDLE handle_ = nullptr;
};

struct ProcessHeapFree {
    void operator()(void* block) const { ::HeapFree(::GetProcessHeap(), 0, block); }
};

// A block of the process heap, freed with HeapFree.
template <class T>
using HeapPtr = std::unique_ptr<T, ProcessHeapFree>;

}  // namespace varnok
