#include "client/worker_pool.h"

#include <cstring>

#include "client/protocol.h"
#include "scan/scan_event.h"

namespace varnok {
namespace {

const HRESULT kReceivePending = HResultFromWin32(ERROR_IO_PENDING);

// Gives the buffer back to the Filter Manager. A shut-down that began just before the request went
// out could not cancel it, so the worker then cancels its own request: its completion still comes
// back and ends a worker, and nothing waits for traffic from the driver.
HRESULT RequeueReceive(ScanContext& context, HeapPtr<ScanMessage>& pMessage) {
    const HRESULT hr = QueueReceive(context.hPort, pMessage.get());
    if (!IsReceiveQueued(hr)) {
        return hr;  // no completion will come: the buffer is freed with the worker
    }
    ScanMessage* const pPending = pMessage.release();
    if (context.ShutDown.load()) {
        ::CancelIoEx(context.hPort, MessageOverlapped(pPending));
    }
    return kReceivePending;
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
        if (!::GetQueuedCompletionStatus(context.hCompletionPort, &outSize, &key, &pOvlp, INFINITE)) {
            HRESULT hr = HResultFromLastError();
            const HeapPtr<ScanMessage> pFailed(pOvlp != nullptr ? MessageFromOverlapped(pOvlp) : nullptr);
            if (hr == HResultFromWin32(ERROR_INVALID_HANDLE) || hr == HResultFromWin32(ERROR_ABANDONED_WAIT_0)) {
                hr = S_OK;  // the completion port is gone
            }
            return hr;  // at shut-down: the cancelled receive, ERROR_OPERATION_ABORTED
        }
        if (pOvlp == nullptr) {
            return S_OK;  // a wake-up packet
        }

        HeapPtr<ScanMessage> pMessage(MessageFromOverlapped(pOvlp));
        HRESULT hr = S_OK;
        if (pMessage->Notification.Kind == kKindFileEvent) {
            hr = SendScanReply(context.hPort, *pMessage, threadCtx->ThreadId);
            if (FAILED(hr)) {
                return hr;  // the driver no longer waits: this event is not examined
            }
            hr = HandleScanEvent(context, *pMessage, *threadCtx);
        }
        if (context.ShutDown.load()) {
            return hr;
        }
        hr = RequeueReceive(context, pMessage);
        if (hr != kReceivePending) {
            return hr;
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

bool PostWakeUp(const ScanContext& context) {
    return ::PostQueuedCompletionStatus(context.hCompletionPort, 0, 0, nullptr) != FALSE;
}

void StopScanWorkers(ScanContext& context) {
    if (context.pScanThreadCtx == nullptr) {
        return;
    }
    context.ShutDown.store(true);
    ::CancelIoEx(context.hPort, nullptr);

    HANDLE hScanThreads[kScanThreadCount];
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        hScanThreads[i] = context.pScanThreadCtx[i].hThread;
    }
    ::WaitForMultipleObjects(kScanThreadCount, hScanThreads, TRUE, INFINITE);
}

}  // namespace varnok
