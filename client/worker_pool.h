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

#include "client/records.h"
#include "client/unique_handle.h"
#include "client/wire.h"

namespace varnok {

// The thread procedure of every worker; its parameter is the ScanContext and its exit code the
// status with which its loop ended.
DWORD WINAPI ScanWorker(LPVOID parameter);

// Finds the record whose thread id is thread_id: S_OK and *ppThreadCtx set, or E_FAIL and null.
HRESULT FindThreadContext(DWORD thread_id, ScanContext& context, ScanThreadContext** ppThreadCtx);

// A receive counts as queued when it pends and also when it completed at once: the completion port
// gets its completion either way, since the port is not set to skip completions on success. Until
// that completion arrives the buffer belongs to the Filter Manager and must not be freed.
bool IsReceiveQueued(HRESULT hr);

// A message buffer from the process heap, not cleared but for its OVERLAPPED.
HeapPtr<ScanMessage> AllocateScanMessage();

// Queues a receive into the buffer on the connection, which the caller holds a reference to; the
// receive takes a reference of its own. HRESULT_FROM_WIN32(ERROR_IO_PENDING) when queued: the
// buffer is the Filter Manager's then. A receive queued after the shut-down or the connection's
// retirement began cancels itself, so its completion still comes back.
HRESULT QueueReceiveOn(const ScanContext& context, DriverConnection& connection, ScanMessage* pMessage);

// Queues the parked buffers on the connection in use. False when some stay parked: no connection,
// or a failure that will pass (logged, rate-limited).
bool RequeueParkedBuffers(ScanContext& context);
DWORD ParkedBufferCount(ScanContext& context);

// Frees the parked buffers at shut-down and returns how many: each of them owes a wake-up packet.
DWORD FreeParkedBuffers(ScanContext& context);

// Ends `count` workers that hold no buffer with packets that carry no receive. When a packet cannot
// be posted the completion port is closed instead, which ends every worker still waiting.
void WakeWorkers(ScanContext& context, DWORD count);

// Sets the shutdown flag, stops the supervisor, takes every buffer out of circulation and waits
// until all workers have ended.
void StopScanWorkers(ScanContext& context);

}  // namespace varnok
