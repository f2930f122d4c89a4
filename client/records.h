// The records and process-wide values that the client's parts share.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "client/status.h"
#include "varnokclient.h"

namespace varnok {

// Workers, thread records, message buffers in circulation and the completion port's concurrency.
inline constexpr DWORD kScanThreadCount = 25;

// One record per worker; its thread id is written by the thread's creation, before it first runs.
struct ScanThreadContext {
    HANDLE hThread;
    DWORD ThreadId;
};

// The process-wide connection record. Everything but the shutdown flag is written before any
// worker is resumed, so workers read it without a lock.
struct ScanContext {
    ScanThreadContext* pScanThreadCtx;  // thread table: null until the workers are about to run
    HANDLE hAbortThread;
    std::atomic<bool> ShutDown;
    HANDLE hPort;            // the driver's communication port; null when not connected
    HANDLE hCompletionPort;  // every receive on hPort completes here
};

extern ScanContext* g_pScanContext;
extern std::atomic<::ScanCallback> g_scan_callback;
extern std::atomic<::ScanResultCallback> g_scan_result_callback;

// The version text that GetVersion hands out: static storage, one address for the module's life.
extern const char kVersionText[];

inline HResult HResultFromLastError() { return HResultFromWin32(::GetLastError()); }

}  // namespace varnok
