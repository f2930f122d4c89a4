#include "client/lifecycle.h"

#include <new>

#include "client/protocol.h"
#include "client/records.h"
#include "client/unique_handle.h"
#include "client/worker_pool.h"
#include "log/log.h"

namespace varnok {
namespace {

DWORD WINAPI AbortThread(LPVOID /*parameter*/) { return 0; }

// The process-wide record, emptied and made ready for a new start. It is created once and kept for
// the life of the process: workers of an earlier client may only read it, never a freed one.
ScanContext* PrepareScanContext() {
    if (g_pScanContext == nullptr) {
        g_pScanContext = new (std::nothrow) ScanContext{};
        return g_pScanContext;
    }
    ScanContext& context = *g_pScanContext;
    context.pScanThreadCtx = nullptr;
    context.hAbortThread = nullptr;
    context.ShutDown.store(false);
    context.hPort = nullptr;
    context.hCompletionPort = nullptr;
    return &context;
}

// What a start-up has created so far. Whatever start-up fails leaves no thread, handle or buffer
// behind: the context is empty again, so a following ClientDisconnect finds nothing to free.
struct PendingStart {
    ScanContext& context;
    UniqueHandle hAbortThread;
    HeapPtr<ScanThreadContext> pThreadTable;
    DWORD created = 0;  // workers created, in table order
    DWORD resumed = 0;  // workers resumed, in table order
    bool abort_resumed = false;
    DWORD queued = 0;  // receives queued
};

// Ends every thread of a failed start-up. Threads still suspended are resumed with the shutdown flag
// set. Before the thread table is in the context a worker finds no record and ends at once; after
// it, workers run their loop, so each is woken by a cancelled receive or, when it has none to
// take, by a wake-up packet.
void EndStartedThreads(PendingStart& start) {
    ScanContext& context = start.context;
    context.ShutDown.store(true);
    ScanThreadContext* const table = start.pThreadTable.get();  // null when no worker was created

    DWORD running = start.resumed;
    for (DWORD i = start.resumed; i < start.created; ++i) {
        if (::ResumeThread(table[i].hThread) == static_cast<DWORD>(-1)) {
            ::TerminateThread(table[i].hThread, static_cast<DWORD>(E_FAIL));  // it never ran
        } else {
            ++running;
        }
    }
    if (context.pScanThreadCtx != nullptr) {
        ::CancelIoEx(context.hPort, nullptr);
        for (DWORD i = start.queued; i < running; ++i) {
            PostWakeUp(context);
        }
    }
    if (start.hAbortThread && !start.abort_resumed &&
        ::ResumeThread(start.hAbortThread.get()) == static_cast<DWORD>(-1)) {
        ::TerminateThread(start.hAbortThread.get(), 0);  // it never ran
    }
    for (DWORD i = 0; i < start.created; ++i) {
        ::WaitForSingleObject(table[i].hThread, INFINITE);
        ::CloseHandle(table[i].hThread);
    }
    if (start.hAbortThread) {
        ::WaitForSingleObject(start.hAbortThread.get(), INFINITE);
    }
}

// Brings a failed start-up down completely and returns its failure.
HRESULT AbandonStart(PendingStart& start, HRESULT failure) {
    ScanContext& context = start.context;
    EndStartedThreads(start);
    context.pScanThreadCtx = nullptr;
    context.hAbortThread = nullptr;
    start.hAbortThread.reset();
    start.pThreadTable.reset();
    if (context.hCompletionPort != nullptr) {
        ::CloseHandle(context.hCompletionPort);
        context.hCompletionPort = nullptr;
    }
    if (context.hPort != nullptr) {
        ::CloseHandle(context.hPort);
        context.hPort = nullptr;
    }
    return failure;
}

HRESULT CreateWorkers(PendingStart& start) {
    ScanThreadContext* const table = start.pThreadTable.get();
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        table[i].hThread = ::CreateThread(nullptr, 0, ScanWorker, &start.context, CREATE_SUSPENDED, &table[i].ThreadId);
        if (table[i].hThread == nullptr) {
            return HResultFromLastError();
        }
        ++start.created;
    }
    return S_OK;
}

HRESULT ResumeThreads(PendingStart& start) {
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        if (::ResumeThread(start.pThreadTable.get()[i].hThread) == static_cast<DWORD>(-1)) {
            return HResultFromLastError();
        }
        ++start.resumed;
    }
    if (::ResumeThread(start.hAbortThread.get()) == static_cast<DWORD>(-1)) {
        return HResultFromLastError();
    }
    start.abort_resumed = true;
    return S_OK;
}

HRESULT QueueReceives(PendingStart& start) {
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        HeapPtr<ScanMessage> pMessage = AllocateScanMessage();
        if (!pMessage) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = QueueReceive(start.context.hPort, pMessage.get());
        if (!IsReceiveQueued(hr)) {
            return hr;
        }
        static_cast<void>(pMessage.release());  // the Filter Manager's until its completion
        ++start.queued;
    }
    return S_OK;
}

HRESULT StartClient(ScanContext& context, const DriverConfig& config) {
    PendingStart start{context, {}, {}};

    start.hAbortThread.reset(::CreateThread(nullptr, 0, AbortThread, &context, CREATE_SUSPENDED, nullptr));
    if (!start.hAbortThread) {
        const HRESULT hr = HResultFromLastError();
        Log(LogLevel::WARN, L"Could not open 'abort' port");
        return hr;
    }

    start.pThreadTable.reset(static_cast<ScanThreadContext*>(
        ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ScanThreadContext) * kScanThreadCount)));
    if (!start.pThreadTable) {
        return AbandonStart(start, E_OUTOFMEMORY);
    }

    if (const HRESULT hr = CreateWorkers(start); FAILED(hr)) {
        return AbandonStart(start, hr);
    }
    if (const HRESULT hr = ConnectToDriver(&context.hPort); FAILED(hr)) {
        return AbandonStart(start, hr);
    }
    SendDriverConfiguration(context.hPort, config.ConfigText, config.ConfigValue1, config.ConfigValue2);

    context.hCompletionPort = ::CreateIoCompletionPort(context.hPort, nullptr, 0, kScanThreadCount);
    if (context.hCompletionPort == nullptr) {
        return AbandonStart(start, HResultFromLastError());
    }

    context.pScanThreadCtx = start.pThreadTable.get();
    context.hAbortThread = start.hAbortThread.get();

    if (const HRESULT hr = ResumeThreads(start); FAILED(hr)) {
        return AbandonStart(start, hr);
    }
    if (const HRESULT hr = QueueReceives(start); FAILED(hr)) {
        return AbandonStart(start, hr);
    }

    // The client runs: the table and the abort thread belong to the context now.
    static_cast<void>(start.pThreadTable.release());
    static_cast<void>(start.hAbortThread.release());
    return S_OK;
}

HRESULT CloseAndClear(HANDLE& handle) {
    const HRESULT hr = ::CloseHandle(handle) ? S_OK : HResultFromLastError();
    handle = nullptr;
    return hr;
}

HRESULT ReleaseScanContext(ScanContext& context) {
    if (context.pScanThreadCtx == nullptr) {
        return E_POINTER;
    }
    HRESULT hr = S_OK;
    if (context.hAbortThread != nullptr) {
        ::CloseHandle(context.hAbortThread);
        context.hAbortThread = nullptr;
    }
    if (const HRESULT port_hr = CloseAndClear(context.hPort); FAILED(port_hr)) {
        hr = port_hr;
    }
    if (const HRESULT completion_hr = CloseAndClear(context.hCompletionPort); FAILED(completion_hr)) {
        hr = completion_hr;
    }
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        ::CloseHandle(context.pScanThreadCtx[i].hThread);
    }
    ::HeapFree(::GetProcessHeap(), 0, context.pScanThreadCtx);
    context.pScanThreadCtx = nullptr;
    return hr;
}

}  // namespace

HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback) {
    if (config == nullptr) {
        return E_POINTER;
    }
    // A running client keeps its pool and its port; the host must disconnect first.
    if (g_pScanContext != nullptr && g_pScanContext->pScanThreadCtx != nullptr) {
        return HResultFromWin32(ERROR_ALREADY_INITIALIZED);
    }
    ScanContext* const pContext = PrepareScanContext();
    if (pContext == nullptr) {
        Log(LogLevel::WARN, L"could not find scan context");
        return E_POINTER;
    }
    g_scan_callback.store(scan_callback);
    g_scan_result_callback.store(scan_result_callback);
    g_log_callback.store(log_callback);
    return StartClient(*pContext, *config);
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    const ScanContext* const pContext = g_pScanContext;
    if (pContext == nullptr || pContext->hPort == nullptr) {
        return FALSE;
    }
    return SendDriverConfiguration(pContext->hPort, config_text, config_value1, config_value2) == S_OK ? TRUE : FALSE;
}

HRESULT ClientDisconnect() {
    if (g_pScanContext == nullptr) {
        return E_POINTER;
    }
    ScanContext& context = *g_pScanContext;
    StopScanWorkers(context);
    const HRESULT hr = ReleaseScanContext(context);
    if (context.hPort != nullptr) {
        ::CloseHandle(context.hPort);
        context.hPort = nullptr;
    }
    return hr;
}

}  // namespace varnok
