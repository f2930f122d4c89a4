// Status values shared by every part of the client. Free of windows.h so the portable logic and
// its native tests can use them; on Windows they equal the SDK's HRESULT constants.
#pragma once

#include <cstdint>
#include <new>

namespace varnok {

using HResult = std::int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kEPointer = static_cast<HResult>(0x80004003u);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);

// A Win32 error code as a status: 0 and values that already are failure HRESULTs (negative as a
// signed number) pass unchanged; any other code becomes a FACILITY_WIN32 failure.
constexpr HResult HResultFromWin32(std::uint32_t code) {
    const auto as_signed = static_cast<HResult>(code);
    if (as_signed <= 0) {
        return as_signed;
    }
    return static_cast<HResult>((code & 0xFFFFu) | 0x80070000u);
}

// Runs a call that answers a status so that no exception crosses a C boundary: exhausted memory
// becomes kEOutOfMemory, any other exception `otherwise`.
template <class Call>
HResult WithoutExceptions(Call&& call, HResult otherwise) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return kEOutOfMemory;
    } catch (...) {
        return otherwise;
    }
}

}  // namespace varnok
