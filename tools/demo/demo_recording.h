// What the library's callbacks did during the demo: the sample host's callbacks, wrapped so that
// every scan and every log line is also kept for the demo's checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "varnokclient.h"

namespace demo {

struct SeenScan {
    std::wstring path;
    std::int32_t zone_id;
    std::wstring source;
    std::int32_t verdict;
};

struct SeenLogLine {
    std::uint32_t level;
    std::wstring text;
};

// The callbacks the demo starts the library with. They run on the library's workers, scan and
// print as the sample host does, and keep what they saw under one lock.
std::int32_t RecordScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1);
void RecordLogLine(std::uint32_t level, const wchar_t* text);

std::vector<SeenScan> RecordedScans();
std::size_t RecordedScanCount();
std::vector<SeenLogLine> RecordedLogLines();

}  // namespace demo
