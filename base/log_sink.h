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

// A text is one line: a path may come from the driver or a file's publisher, and a line end in it
// (CR, LF, NEL, U+2028, U+2029) would let it write lines of its own into the host's log. Each such
// character is shown as '?'.
inline wchar_t LogCharacter(wchar_t c) {
    const bool ends_line = c == L'\n' || c == L'\r' || c == L'\u0085' || c == L'\u2028' || c == L'\u2029';
    return ends_line ? L'?' : c;
}
inline void AppendLogPiece(std::wstring& text, std::wstring_view piece) {
    text.reserve(text.size() + piece.size());
    for (const wchar_t c : piece) {
        text.push_back(LogCharacter(c));
    }
}

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
