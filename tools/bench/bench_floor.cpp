#include "tools/bench/bench_floor.h"

#include <windows.h>

#include <string>
#include <vector>

#include "lifecycle.h"
#include "tools/bench/bench_file_work.h"
#include "tools/bench/bench_files.h"
#include "tools/bench/bench_flight.h"

namespace bench {
namespace {

constexpr std::int32_t kFloorVerdict = 1;  // what ScanAtOnce answers in the pipeline

// The verdict at once, after the file work if asked for. A name or buffer that cannot be allocated
// only skips the work: the event still gets its one verdict.
varnok::HResult Answer(const varnok::FileEvent& event, const varnok::VerdictSink& sink, bool file_work) noexcept {
    std::wstring path;
    try {
        path.assign(event.file_name);
        if (file_work) {
            thread_local std::vector<char> buffer(kStreamBufferBytes);
            DoFileWork(path.c_str(), buffer);
        }
    } catch (...) {
        path.clear();
    }
    const varnok::HResult hr = sink.send(sink.context, kFloorVerdict);
    OnVerdict(path.c_str());
    return hr;
}

varnok::HResult AnswerAfterFileWork(const varnok::FileEvent& event, const varnok::VerdictSink& sink,
                                    const varnok::HostCallbacks& /*host*/, const varnok::RecordKey& /*key*/) noexcept {
    return Answer(event, sink, true);
}

varnok::HResult AnswerAtOnce(const varnok::FileEvent& event, const varnok::VerdictSink& sink,
                             const varnok::HostCallbacks& /*host*/, const varnok::RecordKey& /*key*/) noexcept {
    return Answer(event, sink, false);
}

}  // namespace

bool StartFloorClient(const DriverConfig& config, bool file_work) {
    return SUCCEEDED(
        varnok::FilterInit(&config, nullptr, nullptr, nullptr, file_work ? AnswerAfterFileWork : AnswerAtOnce));
}

bool StopFloorClient() { return SUCCEEDED(varnok::ClientDisconnect()); }

}  // namespace bench
