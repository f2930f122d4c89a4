// The file-system work that any client does for one event on a benchmark file, with no decision in
// it: what the floor client does per event, and what the file-work-only run repeats.
#pragma once

#include <vector>

namespace bench {

// Opens and reads the three streams (SmartScreen is absent, so its open fails), opens the file and
// reads its times, and writes "varnok" twice (its own bytes, so the file stays as it was). `buffer`
// is the calling thread's own.
void DoFileWork(const wchar_t* path, std::vector<char>& buffer);

}  // namespace bench
