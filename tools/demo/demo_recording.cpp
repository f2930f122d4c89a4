#include "tools/demo/demo_recording.h"

#include <mutex>
#include <utility>

#include "tools/sample_host/host.h"

namespace demo {
namespace {

// Everything the callbacks saw; written by the library's workers, read by the main thread.
struct Recording {
    std::mutex mutex;
    std::vector<SeenScan> scans;
    std::vector<SeenLogLine> log_lines;
};

Recording& Recorded() {
    static Recording recording;
    return recording;
}

}  // namespace

std::int32_t RecordScan(FileInfo file_info, std::uint32_t value2, std::uint32_t value1) {
    const std::int32_t verdict = sample_host::OnScan(file_info, value2, value1);
    try {
        // Copied during the call: the library's strings end with it.
        SeenScan scan{file_info.FileName, file_info.ZoneId, file_info.Source, verdict};
        Recording& recording = Recorded();
        const std::lock_guard<std::mutex> lock(recording.mutex);
        recording.scans.push_back(std::move(scan));
    } catch (...) {
        // Exhausted memory: the scan goes unrecorded and the demo reports it as missing.
    }
    return verdict;
}

void RecordLogLine(std::uint32_t level, const wchar_t* text) {
    sample_host::OnLog(level, text);
    try {
        SeenLogLine line{level, text};
        Recording& recording = Recorded();
        const std::lock_guard<std::mutex> lock(recording.mutex);
        recording.log_lines.push_back(std::move(line));
    } catch (...) {
        // As above: a line that could not be kept is reported as missing.
    }
}

std::vector<SeenScan> RecordedScans() {
    Recording& recording = Recorded();
    const std::lock_guard<std::mutex> lock(recording.mutex);
    return recording.scans;
}

std::size_t RecordedScanCount() {
    Recording& recording = Recorded();
    const std::lock_guard<std::mutex> lock(recording.mutex);
    return recording.scans.size();
}

std::vector<SeenLogLine> RecordedLogLines() {
    Recording& recording = Recorded();
    const std::lock_guard<std::mutex> lock(recording.mutex);
    return recording.log_lines;
}

}  // namespace demo
