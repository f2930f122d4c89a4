// The running client, which owns everything that one successful FilterInit brings to life, and the
// one process-wide slot that holds it.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "blocking_call.h"
#include "driver_connection.h"
#include "record_key.h"
#include "scan_event.h"
#include "srw_lock.h"
#include "status.h"
#include "unique_handle.h"
#include "varnokclient.h"
#include "wire.h"

namespace varnok {

// Workers, thread records, message buffers in circulation and the completion port's concurrency.
inline constexpr DWORD kScanThreadCount = 25;

// One worker of the pool. Written by the start-up only (the thread id by CreateThread, before the
// thread first runs); the worker itself reads its own record to find its thread id. Its watch
// tells the supervisor and the stop which of the library's file calls it is in, and since when.
struct WorkerThread {
    UniqueHandle thread;
    DWORD thread_id = 0;
    BlockingCallWatch watch;
};

// Failures that are logged at most once in a while, so a flood cannot drown the log.
enum class RateLimitedWarning : std::uint32_t { kReplyRefused, kReceiveFailed, kCount };

// The running client: everything that one successful FilterInit brings to life, owned here, so
// that the one stop path (StopClient, lifecycle.cpp) ends every thread and then the destructor
// frees every handle and buffer, whether the start-up failed halfway, the host disconnected, or
// the client lost its driver and came back meanwhile.
//
// Written by the start-up before any worker is resumed: the worker table, the abort thread, the
// completion port, the supervisor and its events; so workers and the supervisor read them without
// a lock. While workers run, the connection in use changes under connection_lock, the park under
// park_lock and the configuration under config_lock; shut_down is set once, by the stop path.
// Threads that touch it: the host's thread in FilterInit, SetDriverConfiguration and
// ClientDisconnect; every worker; the supervisor.
struct RunningClient {
    RunningClient() noexcept;
    RunningClient(const RunningClient&) = delete;
    RunningClient& operator=(const RunningClient&) = delete;
    // Only once no thread of the client can run any more: closes whatever is left open.
    ~RunningClient();

    // What each worker does with an event it acknowledged, and the key that seals the records it
    // writes; set before any worker runs.
    EventHandler handler = HandleScanEvent;
    std::unique_ptr<RecordKey> record_key;
    std::array<WorkerThread, kScanThreadCount> workers;
    std::atomic<bool> workers_ready{false};  // the table is complete: workers may run their loop
    // A thread that does nothing and ends at once. It exists only because hosts have always seen
    // the client start one, and a failure to create it fails the start-up.
    UniqueHandle abort_thread;
    std::atomic<bool> shut_down{false};
    UniqueHandle completion_port;         // every receive, on whichever connection, completes here
    bool completion_port_closed = false;  // closed early by a shut-down that could not wake every worker

    // The connection in use, with the client's reference; empty while the driver is away.
    SRWLOCK connection_lock = SRWLOCK_INIT;
    ConnectionRef connection;

    // The supervisor: notices a lost connection, connects again, gives parked buffers back and
    // cancels a worker's file call that another process has held up too long.
    UniqueHandle supervisor;
    UniqueHandle stop_event;  // set by the shut-down
    UniqueHandle wake_event;  // a connection was lost, or a buffer was parked

    // The configuration the driver gets again after each reconnection: FilterInit's, or the last
    // one the host gave SetDriverConfiguration. Held across the send, so the driver ends up with
    // the host's latest.
    SRWLOCK config_lock = SRWLOCK_INIT;
    ScanCommand last_configuration{};

    // Buffers that could not be queued (no connection, or a failure that will pass). They stay in
    // circulation; the supervisor queues them again.
    SRWLOCK park_lock = SRWLOCK_INIT;
    DWORD parked_count = 0;
    std::array<HeapPtr<ScanMessage>, kScanThreadCount> parked;

    // Per kind of rate-limited warning: the tick count from which the next one may be logged.
    std::array<std::atomic<std::uint64_t>, static_cast<std::uint32_t>(RateLimitedWarning::kCount)> next_warning_tick{};
};

// The process-wide state: the running client, if any, and the host's callbacks of the last
// FilterInit (which the "could not find scan context" rule still uses when no client can be made).
// Written by FilterInit and ClientDisconnect on the host's thread; the callbacks are read by every
// worker.
struct ProcessSlot {
    std::unique_ptr<RunningClient> client;
    std::atomic<::ScanCallback> scan_callback{nullptr};
    std::atomic<::ScanResultCallback> scan_result_callback{nullptr};
    std::atomic<::LogCallback> log_callback{nullptr};
};

extern ProcessSlot g_process;

// The host's log callback as the last FilterInit registered it.
inline ::LogCallback HostLog() { return g_process.log_callback.load(std::memory_order_acquire); }

}  // namespace varnok
