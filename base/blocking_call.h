// The watch over a worker's file calls: none may stall the worker for long or keep the client from
// stopping, whatever another process or machine holds it up with.
//
// A call that another process can hold up (an open that waits for an opportunistic lock's break to be
// acknowledged, a lock that is held) runs inside a BlockingCall; whoever watches the thread (the
// client's supervisor, its stop) cancels a call that has lasted too long with CancelSynchronousIo,
// and a wait the library makes itself (for a stream's lock) ends when the watch says so.
//
// A cancellation reaches only a call inside a BlockingCall, never the host's own file calls
// that the same thread makes in a callback: leaving a BlockingCall and cancelling take the same
// lock, so no cancellation lands after its call was left.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace varnok {

// How long a worker waits, or is left waiting, on one file-system call or lock that another
// process holds.
inline constexpr std::uint64_t kFileWaitLimitMs = 2000;

// One thread's watch. Lives as long as the thread it watches.
struct BlockingCallWatch {
    std::atomic<std::uint64_t> since{0};  // the tick at which the current call began; 0 outside one
    std::atomic<bool> abandon{false};     // set at shut-down: waits end at once, calls are cancelled
    SRWLOCK leave_lock = SRWLOCK_INIT;    // a call is left, or a cancellation made, one at a time
};

// Makes `watch` the calling thread's (null: none). A thread without a watch runs its calls as they
// come: nothing cancels them, and its waits end only by their own limit.
void WatchThisThread(BlockingCallWatch* watch) noexcept;

// Marks one call of the calling thread as under way, for its scope. Nested scopes count as one.
class BlockingCall {
public:
    BlockingCall() noexcept;
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;
    ~BlockingCall();

private:
    BlockingCallWatch* watch_ = nullptr;  // set when this scope marked the call
};

// Whether the calling thread's waits are to end now (its client is stopping).
bool WaitsAbandoned() noexcept;

// Cancels the synchronous I/O of `thread` (whose watch it is) if it is inside a call that began at
// or before the tick `began_by`. True when a call was cancelled.
bool CancelBlockingCall(BlockingCallWatch& watch, HANDLE thread, std::uint64_t began_by) noexcept;

}  // namespace varnok
