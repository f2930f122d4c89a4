// The one door of the file layer, through which every file call of the library goes: watched,
// counted, and as a test's seam says.
//
// Each call runs inside the worker's watch (blocking_call.h), so that whatever another process or a
// server holds it up with, it is cancelled when it has lasted too long or the client stops; it is
// counted once, here; and a test's seam (file_call_seam.h) decides what it does.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "blocking_call.h"
#include "file_call_seam.h"

namespace varnok {
namespace door {

extern std::atomic<FileCallSeam> g_seam;

// What the seam says of the call; a call on a handle is named by what the handle is open on.
FileCallOutcome Ask(FileCallSeam seam, FileCallSite site, HANDLE handle) noexcept;

// Counts a system call that went through the door, and the handle of an open that gave one.
void Count(FileCall call, bool made) noexcept;

}  // namespace door

// Makes one call through the door. `make(outcome)` makes it (an open as the outcome's sharing says,
// a write as far as the outcome lets it) and answers whether it succeeded, leaving a failure's error
// as the thread's last error; a call that the seam fails is not made at all.
template <class Make>
bool MakeFileCall(const FileCallSite& site, HANDLE handle, Make&& make) {
    const BlockingCall watched;
    FileCallOutcome outcome;
    if (const FileCallSeam seam = door::g_seam.load(std::memory_order_acquire)) {
        outcome = door::Ask(seam, site, handle);
    }
    bool made = false;
    if (outcome.action == FileCallAction::kFail) {
        ::SetLastError(outcome.error);
    } else {
        made = std::forward<Make>(make)(outcome);
    }
    const DWORD error = ::GetLastError();
    door::Count(site.call, made);
    ::SetLastError(error);
    return made;
}

// Tells the seam, if any, that the thread is about to wait for the lock of the stream that the handle
// is open on, which another holds. A seam may hold the wait up, as long as the watch lets it.
inline void AnnounceWait(HANDLE stream) {
    MakeFileCall({FileCall::kWait}, stream, [](const FileCallOutcome&) { return true; });
}

}  // namespace varnok
