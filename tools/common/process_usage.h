// What the tests and the benchmark read of the process to show that the library leaks nothing.
// Wine reports neither a handle count nor private bytes, so these read what it does keep.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace varnok::usage {

// Bytes in use in all heaps of the process.
inline std::uint64_t HeapBytesInUse() {
    HANDLE heaps[256];
    const DWORD count = std::min<DWORD>(::GetProcessHeaps(256, heaps), 256);
    std::uint64_t total = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!::HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                total += entry.cbData;
            }
        }
        ::HeapUnlock(heaps[i]);
    }
    return total;
}

// The slot a fresh handle takes: the lowest free one, so it grows when handles leak.
inline std::uintptr_t HandleSlot() {
    const HANDLE h_probe = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::CloseHandle(h_probe);
    return reinterpret_cast<std::uintptr_t>(h_probe) / 4;
}

}  // namespace varnok::usage
