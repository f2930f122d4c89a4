// The one channel of the library's diagnostics for the host: the LogCallback it registered. The
// caller passes the callback in, so nothing here is process-wide. Free of windows.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "varnokclient.h"

namespace varnok {

enum class LogLevel : std::uint32_t {
    kInfo = VARNOK_LOG_INFO,
    kWarn = VARNOK_LOG_WARN,
    kError = VARNOK_LOG_ERROR,
};

inline void AppendLogPiece(std::wstring& text, std::wstring_view piece) { text.append(piece); }

// Narrow pieces are ASCII literals: each byte keeps its code as a UTF-16 unit.
inline void AppendLogPiece(std::wstring& text, std::string_view piece) {
    for (const char c : piece) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
}

// The pieces joined in order with nothing added: no separator, prefix, level name or line end.
template <class... Pieces>
std::wstring ComposeLogText(const Pieces&... pieces) {
    std::wstring text;
    (AppendLogPiece(text, pieces), ...);
    return text;
}

// Delivers one message to the host's callback on the calling thread. Without a callback it
// composes and allocates nothing. A message that can't be composed (memory exhausted) or whose
// callback throws (a logger on a full disk, say) is lost alone: the caller goes on as if it had
// been delivered.
template <class... Pieces>
void Log(::LogCallback callback, LogLevel level, const Pieces&... pieces) noexcept {
    if (callback == nullptr) {
        return;
    }
    try {
        const std::wstring text = ComposeLogText(pieces...);
        callback(static_cast<std::uint32_t>(level), text.c_str());
    } catch (...) {
        // Only this line is lost.
    }
}

}  // namespace varnok
