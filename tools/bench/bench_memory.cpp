#include "tools/bench/bench_memory.h"

#include <psapi.h>

#include <cstddef>

#include "tools/common/process_usage.h"

namespace bench {
namespace {

std::uint64_t CommittedPrivateBytes() {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    std::uint64_t total = 0;
    auto* address = static_cast<std::byte*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION region{};
    while (address < system.lpMaximumApplicationAddress && ::VirtualQuery(address, &region, sizeof(region)) != 0) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
        address = static_cast<std::byte*>(region.BaseAddress) + region.RegionSize;
    }
    return total;
}

}  // namespace

MemoryReading ReadMemory() {
    MemoryReading reading;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        reading.private_usage = counters.PrivateUsage;
    }
    reading.committed_private = CommittedPrivateBytes();
    reading.heap_in_use = varnok::usage::HeapBytesInUse();
    ::GetProcessHandleCount(::GetCurrentProcess(), &reading.handle_count);
    reading.handle_slot = varnok::usage::HandleSlot();
    return reading;
}

double MiB(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

double SignedMiB(std::uint64_t after, std::uint64_t before) {
    return (static_cast<double>(after) - static_cast<double>(before)) / (1024.0 * 1024.0);
}

}  // namespace bench
