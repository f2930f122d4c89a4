// The benchmark's clocks: the performance counter for event times, the process's CPU time.
#pragma once

#include <cstdint>

namespace bench {

// The performance counter now, in its ticks.
std::int64_t Now();

// User and kernel time of this process so far, in microseconds (the wineserver's own time is not in it).
double ProcessCpuMicroseconds();

double TicksToMs(std::int64_t ticks);

}  // namespace bench
