// The developer's trace: failures that the host's log keeps silent by contract are described here.
//
// Those are a stored result that could not be written, a verdict the driver did not take, a worker's
// exit status, a handle that would not close. It is off unless the build turns it on (VARNOK_TRACE,
// which writes each line with OutputDebugStringW) or a test installs a sink. A trace never changes
// what the library does, and it never throws. Free of windows.h.
#pragma once

#include <cstdint>
#include <string>

#include "log_sink.h"

namespace varnok {

// Receives each trace line, on the thread that traced it. Tests install one to see the traces.
using TraceSink = void (*)(const wchar_t* text);

// Installs the sink (null removes it) and returns the one it replaced.
TraceSink SetTraceSink(TraceSink sink) noexcept;

// Whether a trace would go anywhere; when not, nothing is composed.
bool IsTraceOn() noexcept;
void EmitTrace(const std::wstring& text) noexcept;

// A 32-bit value (an HRESULT, an exit code) written as 0x and eight hex digits.
struct TraceHex {
    std::uint32_t value;
};

inline void AppendLogPiece(std::wstring& text, TraceHex piece) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    text.append(L"0x");
    for (int shift = 28; shift >= 0; shift -= 4) {
        text.push_back(kDigits[(piece.value >> shift) & 0xFu]);
    }
}

template <class... Pieces>
void Trace(const Pieces&... pieces) noexcept {
    if (!IsTraceOn()) {
        return;
    }
    try {
        EmitTrace(ComposeLogText(pieces...));
    } catch (...) {
        // Memory ran out while composing: the trace line alone is lost.
    }
}

}  // namespace varnok
