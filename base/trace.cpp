// The developer's trace: where its lines go.
#include "trace.h"

#include <atomic>

#if defined(_WIN32) && defined(VARNOK_TRACE)
#include <windows.h>
#endif

namespace varnok {
namespace {

#ifdef VARNOK_TRACE
constexpr bool kTraceBuilt = true;
#else
constexpr bool kTraceBuilt = false;
#endif

// The installed sink; written by tests, read by any thread that traces.
std::atomic<TraceSink> g_trace_sink{nullptr};

}  // namespace

TraceSink SetTraceSink(TraceSink sink) noexcept { return g_trace_sink.exchange(sink); }

bool IsTraceOn() noexcept { return kTraceBuilt || g_trace_sink.load() != nullptr; }

void EmitTrace(const std::wstring& text) noexcept {
    if (const TraceSink sink = g_trace_sink.load()) {
        sink(text.c_str());
    }
#if defined(_WIN32) && defined(VARNOK_TRACE)
    try {
        ::OutputDebugStringW((L"varnokclient: " + text + L"\n").c_str());
    } catch (...) {
        // Memory ran out: this line is lost.
    }
#endif
}

}  // namespace varnok
