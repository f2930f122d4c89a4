// The pool of worker threads that take the driver's notifications from the completion port.
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

// A completion packet that carries no receive: the worker that takes it ends. Start-up uses them
// to bring down a pool that has fewer receives queued than workers waiting.
bool PostWakeUp(const ScanContext& context);

// Sets the shutdown flag, cancels every pending receive and waits until all workers have ended.
void StopScanWorkers(ScanContext& context);

}  // namespace varnok
