// The watch over a worker's file calls: its scopes, and the cancel that only reaches one of them.
#include "blocking_call.h"

#include <algorithm>

#include "srw_lock.h"

namespace varnok {
namespace {

// clang's CodeView would name the variable's own symbol, which the emulated TLS of the MinGW-w64
// build never defines, and the DLL would not link; under the emulation no debugger reads it anyway.
#if defined(__clang__)
[[gnu::nodebug]]
#endif
thread_local BlockingCallWatch* g_thread_watch = nullptr;

}  // namespace

void WatchThisThread(BlockingCallWatch* watch) noexcept { g_thread_watch = watch; }

BlockingCall::BlockingCall() noexcept {
    BlockingCallWatch* const watch = g_thread_watch;
    // A tick of 0 would read as "no call": the first millisecond after boot counts as the second.
    if (watch != nullptr && watch->since.load() == 0) {
        watch->since.store(std::max<std::uint64_t>(::GetTickCount64(), 1));
        watch_ = watch;
    }
}

BlockingCall::~BlockingCall() {
    if (watch_ != nullptr) {
        const SrwExclusive leaving(watch_->leave_lock);
        watch_->since.store(0);
    }
}

bool WaitsAbandoned() noexcept {
    const BlockingCallWatch* const watch = g_thread_watch;
    return watch != nullptr && watch->abandon.load();
}

bool CancelBlockingCall(BlockingCallWatch& watch, HANDLE thread, std::uint64_t began_by) noexcept {
    const SrwExclusive cancelling(watch.leave_lock);
    const std::uint64_t since = watch.since.load();
    return since != 0 && since <= began_by && ::CancelSynchronousIo(thread) != FALSE;
}

}  // namespace varnok
