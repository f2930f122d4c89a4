// The records and process-wide values that the client's parts share.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "client/status.h"
#include "client/wire.h"
#include "varnokclient.h"

namespace varnok {

// Workers, thread records, message buffers in circulation and the completion port's concurrency.
inline constexpr DWORD kScanThreadCount = 25;

// One record per worker; its thread id is written by the thread's creation, before it first runs.
struct ScanThreadContext {
    HANDLE hThread;
    DWORD ThreadId;
};

// One connection to the driver's port. Whoever uses its handle holds a reference: the context while
// it is the connection in use, every receive queued on it, a worker answering one of its events, a
// caller sending on it. The handle is closed with the last reference, so no call ever meets a closed
// handle, nor a handle value reused by a later connection: the verdict for an event always goes to
// the connection the event came from.
struct DriverConnection {
    HANDLE hPort;
    std::atomic<std::uint32_t> References;
    std::atomic<bool> Lost;     // a port call found the driver gone
    std::atomic<bool> Retired;  // no longer in use: a receive queued on it cancels itself
};

// Failures that are logged at most once in a while, so a flood cannot drown the log.
enum class RateLimitedWarning : std::uint32_t { ReplyRefused, ReceiveFailed, Count };

// The process-wide connection record. The thread table, the abort thread and the completion port
// are written before any worker is resumed, so workers read them without a lock; the connection in
// use changes while workers run and is read under ConnectionLock.
struct ScanContext {
    ScanThreadContext* pScanThreadCtx;  // thread table: null until the workers are about to run
    HANDLE hAbortThread;
    std::atomic<bool> ShutDown;
    HANDLE hCompletionPort;     // every receive, on whichever connection, completes here
    bool CompletionPortClosed;  // closed early by a shut-down that could not wake every worker

    // The connection in use; null while the driver is away. Its record is the completion key of
    // every receive queued on it.
    SRWLOCK ConnectionLock;
    DriverConnection* pConnection;

    // The supervisor: notices a lost connection, connects again and gives parked buffers back.
    HANDLE hSupervisor;
    HANDLE hStopEvent;  // set by the shut-down
    HANDLE hWakeEvent;  // a connection was lost, or a buffer was parked

    // The configuration the driver gets again after each reconnection: FilterInit's, or the last
    // one the host gave SetDriverConfiguration. Held across the send, so the driver ends up with
    // the host's latest.
    SRWLOCK ConfigLock;
    ScanCommand LastConfiguration;

    // Buffers that could not be queued (no connection, or a failure that will pass). They stay in
    // circulation; the supervisor queues them again.
    SRWLOCK ParkLock;
    DWORD ParkedCount;
    ScanMessage* pParked[kScanThreadCount];

    // Per kind of rate-limited warning: the tick count from which the next one may be logged.
    std::atomic<std::uint64_t> NextWarningTick[static_cast<std::uint32_t>(RateLimitedWarning::Count)];
};

extern ScanContext* g_pScanContext;
extern std::atomic<::ScanCallback> g_scan_callback;
extern std::atomic<::ScanResultCallback> g_scan_result_callback;

// The version text that GetVersion hands out: static storage, one address for the module's life.
extern const char kVersionText[];

inline HResult HResultFromLastError() { return HResultFromWin32(::GetLastError()); }

// Holds an SRW lock for one scope; never across a host callback.
class SrwExclusive {
public:
    explicit SrwExclusive(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    SrwExclusive(const SrwExclusive&) = delete;
    SrwExclusive& operator=(const SrwExclusive&) = delete;
    ~SrwExclusive() { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

class SrwShared {
public:
    explicit SrwShared(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
    SrwShared(const SrwShared&) = delete;
    SrwShared& operator=(const SrwShared&) = delete;
    ~SrwShared() { ::ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK& lock_;
};

}  // namespace varnok
