// The process's memory and handles, read before and after the soak to show what the library keeps.
#pragma once

#include <windows.h>

#include <cstdint>

namespace bench {

struct MemoryReading {
    std::uint64_t private_usage = 0;      // PROCESS_MEMORY_COUNTERS_EX.PrivateUsage
    std::uint64_t committed_private = 0;  // committed private pages, summed over the address space
    std::uint64_t heap_in_use = 0;        // busy blocks of all heaps of the process
    DWORD handle_count = 0;               // GetProcessHandleCount (0 under Wine)
    std::uintptr_t handle_slot = 0;       // the slot a fresh handle takes: the lowest free one
};

MemoryReading ReadMemory();

double MiB(std::uint64_t bytes);
double SignedMiB(std::uint64_t after, std::uint64_t before);

}  // namespace bench
