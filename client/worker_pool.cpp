#include "client/worker_pool.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "client/connection.h"
#include "client/protocol.h"
#include "scan/scan_event.h"

namespace varnok {
namespace {

const HRESULT kReceivePending = HResultFromWin32(ERROR_IO_PENDING);
const HRESULT kReceiveCancelled = HResultFromWin32(ERROR_OPERATION_ABORTED);

const wchar_t kWarnReplyRefused[] = L"kernel driver refused a reply";
const wchar_t kWarnReceiveFailed[] = L"could not wait for kernel driver - retrying";

void FreeScanMessage(ScanMessage* pMessage) { ::HeapFree(::GetProcessHeap(), 0, pMessage); }

// What a failed receive or requeue says about the connection: gone, or a failure that will pass.
void NoteReceiveFailure(ScanContext& context, DriverConnection& connection, HRESULT hr) {
    if (IsConnectionLost(hr)) {
        MarkConnectionLost(context, connection);
    } else {
        WarnRateLimited(context, RateLimitedWarning::ReceiveFailed, kWarnReceiveFailed);
    }
}

// Keeps the buffer for the supervisor to queue again. At shut-down it is freed instead: false.
bool ParkBuffer(ScanContext& context, ScanMessage* pMessage) {
    {
        const SrwExclusive lock(context.ParkLock);
        // Never more than the buffers in circulation; the test only keeps a fault from writing past.
        if (!context.ShutDown.load() && context.ParkedCount < kScanThreadCount) {
            context.pParked[context.ParkedCount++] = pMessage;
            pMessage = nullptr;
        }
    }
    if (pMessage != nullptr) {
        FreeScanMessage(pMessage);
        return false;
    }
    ::SetEvent(context.hWakeEvent);
    return true;
}

// Puts a buffer the worker holds back into circulation: queued on the connection in use, or
// parked. False when the shut-down took it out of circulation: the worker then ends.
bool Recirculate(ScanContext& context, ScanMessage* pMessage) {
    if (context.ShutDown.load()) {
        FreeScanMessage(pMessage);
        return false;
    }
    if (DriverConnection* const pConnection = AcquireConnection(context)) {
        const HRESULT hr = QueueReceiveOn(context, *pConnection, pMessage);
        if (hr != kReceivePending) {
            NoteReceiveFailure(context, *pConnection, hr);
        }
        ReleaseConnection(pConnection);
        if (hr == kReceivePending) {
            return true;
        }
    }
    return ParkBuffer(context, pMessage);
}

// A completed receive: only what the driver sent counts. A message too short to hold the fixed
// fields, and a notification of another kind, get no reply and no examination. A refused reply ends
// the event (it gets no verdict), never the worker.
HRESULT AnswerNotification(ScanContext& context, DriverConnection& connection, const ScanMessage& message,
                           DWORD received_bytes, const ScanThreadContext& threadCtx) {
    const std::optional<std::size_t> name_units = ReceivedNameUnits(received_bytes);
    if (!name_units.has_value() || message.Notification.Kind != kKindFileEvent) {
        return S_OK;
    }
    const HRESULT hr = SendScanReply(connection.hPort, message, threadCtx.ThreadId);
    if (FAILED(hr)) {
        if (IsConnectionLost(hr)) {
            MarkConnectionLost(context, connection);
        } else {
            WarnRateLimited(context, RateLimitedWarning::ReplyRefused, kWarnReplyRefused);
        }
        return hr;
    }
    return HandleScanEvent(connection.hPort, message, *name_units, threadCtx);
}

HRESULT RunScanWorker(ScanContext& context) {
    // Before the thread table is in the context no record is found: a start-up that failed before it
    // got there resumes its workers only so that they end here.
    ScanThreadContext* threadCtx = nullptr;
    if (FAILED(FindThreadContext(::GetCurrentThreadId(), context, &threadCtx))) {
        return E_FAIL;
    }

    for (;;) {
        DWORD outSize = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* pOvlp = nullptr;
        const BOOL completed = ::GetQueuedCompletionStatus(context.hCompletionPort, &outSize, &key, &pOvlp, INFINITE);
        HRESULT hr = completed ? S_OK : HResultFromLastError();
        if (pOvlp == nullptr) {
            // A wake-up packet, or the wait itself failed: the completion port is gone.
            if (hr == HResultFromWin32(ERROR_INVALID_HANDLE) || hr == HResultFromWin32(ERROR_ABANDONED_WAIT_0)) {
                hr = S_OK;
            }
            return hr;
        }

        // The buffer is this worker's now, and with it the reference that its receive held on its
        // connection, which the completion key names.
        ScanMessage* const pMessage = MessageFromOverlapped(pOvlp);
        DriverConnection* const pConnection = ConnectionFromKey(key);
        if (completed) {
            hr = AnswerNotification(context, *pConnection, *pMessage, outSize, *threadCtx);
        } else if (hr != kReceiveCancelled) {
            // Cancelled receives come from the shut-down or a retired connection; anything else is
            // noted, and the buffer waits in the park, so a failure that repeats cannot spin.
            NoteReceiveFailure(context, *pConnection, hr);
            ReleaseConnection(pConnection);
            if (!ParkBuffer(context, pMessage)) {
                return hr;
            }
            continue;
        }
        ReleaseConnection(pConnection);
        if (!Recirculate(context, pMessage)) {
            return hr;  // at shut-down: the cancelled receive, ERROR_OPERATION_ABORTED, or the last result
        }
    }
}

}  // namespace

bool IsReceiveQueued(HRESULT hr) { return hr == kReceivePending || hr == S_OK; }

DWORD WINAPI ScanWorker(LPVOID parameter) {
    return static_cast<DWORD>(RunScanWorker(*static_cast<ScanContext*>(parameter)));
}

HRESULT FindThreadContext(DWORD thread_id, ScanContext& context, ScanThreadContext** ppThreadCtx) {
    *ppThreadCtx = nullptr;
    if (context.pScanThreadCtx == nullptr) {
        return E_FAIL;
    }
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        if (context.pScanThreadCtx[i].ThreadId == thread_id) {
            *ppThreadCtx = &context.pScanThreadCtx[i];
            return S_OK;
        }
    }
    return E_FAIL;
}

HeapPtr<ScanMessage> AllocateScanMessage() {
    HeapPtr<ScanMessage> pMessage(static_cast<ScanMessage*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ScanMessage))));
    if (pMessage) {
        std::memset(pMessage->Ovlp, 0, sizeof(pMessage->Ovlp));
    }
    return pMessage;
}

HRESULT QueueReceiveOn(const ScanContext& context, DriverConnection& connection, ScanMessage* pMessage) {
    // Taken first: once the request is out, the buffer may already be in another worker's hands.
    OVERLAPPED* const pOvlp = MessageOverlapped(pMessage);
    AddConnectionReference(connection);
    const HRESULT hr = QueueReceive(connection.hPort, pMessage);
    if (!IsReceiveQueued(hr)) {
        ReleaseConnection(&connection);  // never the last: the caller holds one
        return hr;
    }
    // A shut-down or a retirement that began just before the request went out could not cancel it:
    // the request cancels itself, so its completion comes back and nothing waits for the driver.
    if (context.ShutDown.load() || connection.Retired.load()) {
        ::CancelIoEx(connection.hPort, pOvlp);
    }
    return kReceivePending;
}

bool RequeueParkedBuffers(ScanContext& context) {
    ScanMessage* pTaken[kScanThreadCount];
    DWORD taken = 0;
    {
        const SrwExclusive lock(context.ParkLock);
        if (context.ShutDown.load()) {
            return false;  // the shut-down frees them
        }
        taken = context.ParkedCount;
        std::copy_n(context.pParked, taken, pTaken);
        context.ParkedCount = 0;
    }
    DWORD queued = 0;
    if (DriverConnection* const pConnection = AcquireConnection(context)) {
        for (; queued < taken; ++queued) {
            const HRESULT hr = QueueReceiveOn(context, *pConnection, pTaken[queued]);
            if (hr != kReceivePending) {
                NoteReceiveFailure(context, *pConnection, hr);
                break;
            }
        }
        ReleaseConnection(pConnection);
    }
    // The rest go back to the park, even at shut-down: the supervisor ends before the shut-down
    // frees what is parked.
    const SrwExclusive lock(context.ParkLock);
    for (DWORD i = queued; i < taken; ++i) {
        context.pParked[context.ParkedCount++] = pTaken[i];
    }
    return context.ParkedCount == 0;
}

DWORD ParkedBufferCount(ScanContext& context) {
    const SrwShared lock(context.ParkLock);
    return context.ParkedCount;
}

DWORD FreeParkedBuffers(ScanContext& context) {
    const SrwExclusive lock(context.ParkLock);
    const DWORD count = context.ParkedCount;
    for (DWORD i = 0; i < count; ++i) {
        FreeScanMessage(context.pParked[i]);
    }
    context.ParkedCount = 0;
    return count;
}

void WakeWorkers(ScanContext& context, DWORD count) {
    for (DWORD i = 0; i < count && !context.CompletionPortClosed; ++i) {
        if (!::PostQueuedCompletionStatus(context.hCompletionPort, 0, 0, nullptr)) {
            // Every worker's wait then fails, and it ends. Buffers whose completions were still
            // queued are lost with the port, a price paid only when the system cannot post a packet.
            ::CloseHandle(context.hCompletionPort);
            context.CompletionPortClosed = true;
        }
    }
}

void StopScanWorkers(ScanContext& context) {
    if (context.pScanThreadCtx == nullptr) {
        return;
    }
    context.ShutDown.store(true);
    if (context.hSupervisor != nullptr) {
        ::SetEvent(context.hStopEvent);
        ::WaitForSingleObject(context.hSupervisor, INFINITE);  // it ends at once, between two steps
    }
    // Each parked buffer leaves circulation here and owes one worker its end.
    WakeWorkers(context, FreeParkedBuffers(context));
    {
        const SrwShared lock(context.ConnectionLock);
        if (context.pConnection != nullptr) {
            ::CancelIoEx(context.pConnection->hPort, nullptr);
        }
    }

    HANDLE hScanThreads[kScanThreadCount];
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        hScanThreads[i] = context.pScanThreadCtx[i].hThread;
    }
    ::WaitForMultipleObjects(kScanThreadCount, hScanThreads, TRUE, INFINITE);
}

}  // namespace varnok
