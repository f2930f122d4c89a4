// The benchmark as one call: the runs in order and their report on standard output.
#pragma once

#include "tools/bench/bench_options.h"

namespace bench {

// Returns the process's exit code: 0 when every run went through, 1 when one failed.
int RunBench(const Options& options);

}  // namespace bench
