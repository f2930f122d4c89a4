// The pool of worker threads that take the driver's notifications from the completion port, and
// the 25 message buffers that circulate between the Filter Manager, the workers and the park.
//
// Every buffer stays in circulation for the life of the client: it is pending (a receive is queued
// on it), held (by the one worker that took its completion) or parked (waiting for a connection or
// for a failure to pass, until the supervisor queues it again). A buffer leaves circulation only at
// shut-down, and each buffer that leaves ends exactly one worker: the worker that held it, or, for a
// parked one, a worker woken by a packet.
#pragma once

#include <windows.h>

#include "running_client.h"
#include "unique_handle.h"
#include "wire.h"

namespace varnok {

// The thread procedure of every worker; its parameter is the RunningClient and its exit code the
// status with which its loop ended.
DWORD WINAPI ScanWorker(LPVOID parameter);

// The worker whose thread id is thread_id; null before the table is ready, and for other threads.
WorkerThread* FindWorker(DWORD thread_id, RunningClient& client);

// Queues a receive into the buffer on the connection; the receive takes a reference of its own,
// which its completion key brings back to the worker that takes the completion.
// HRESULT_FROM_WIN32(ERROR_IO_PENDING) when queued: the buffer is the Filter Manager's then, and
// `buffer` is empty; on failure the caller still owns it. A receive queued after the shut-down or
// the connection's retirement began cancels itself, so its completion still comes back.
HResult QueueReceiveOn(const RunningClient& client, const ConnectionRef& connection, HeapPtr<ScanMessage>& buffer);

// Queues the parked buffers on the connection in use. False when some stay parked: no connection,
// or a failure that will pass (logged, rate-limited).
bool RequeueParkedBuffers(RunningClient& client);
DWORD ParkedBufferCount(RunningClient& client);

// Frees the parked buffers at shut-down and returns how many: each of them owes a wake-up packet.
DWORD FreeParkedBuffers(RunningClient& client);

// Ends `count` workers that hold no buffer with packets that carry no receive. When a packet cannot
// be posted the completion port is closed instead, which ends every worker still waiting.
void WakeWorkers(RunningClient& client, DWORD count);

// Cancels each worker's file call that began at or before the tick `began_by` (blocking_call.h).
void CancelStuckFileCalls(RunningClient& client, std::uint64_t began_by) noexcept;

// Leaves the worker's exit status in the developer's trace; the thread has ended.
void TraceWorkerExit(const WorkerThread& worker) noexcept;

}  // namespace varnok
