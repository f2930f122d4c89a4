#include "client/lifecycle.h"

#include <new>
#include <utility>

#include "client/connection.h"
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
    context.hCompletionPort = nullptr;
    context.CompletionPortClosed = false;
    ::InitializeSRWLock(&context.ConnectionLock);
    context.pConnection = nullptr;
    context.hSupervisor = nullptr;
    context.hStopEvent = nullptr;
    context.hWakeEvent = nullptr;
    ::InitializeSRWLock(&context.ConfigLock);
    context.LastConfiguration = ScanCommand{};
    ::InitializeSRWLock(&context.ParkLock);
    context.ParkedCount = 0;
    for (std::atomic<std::uint64_t>& next : context.NextWarningTick) {
        next.store(0);
    }
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

enum class ThreadEnd { Runs, Terminated, Stuck };

// A thread that never ran is resumed so that it ends by itself, or else terminated. When neither
// works it stays suspended for good: it never runs, and nobody may wait for it.
ThreadEnd ResumeToEnd(HANDLE hThread, DWORD exit_code) {
    if (::ResumeThread(hThread) != static_cast<DWORD>(-1)) {
        return ThreadEnd::Runs;
    }
    return ::TerminateThread(hThread, exit_code) ? ThreadEnd::Terminated : ThreadEnd::Stuck;
}

void WaitAndClose(HANDLE hThread, bool can_end) {
    if (can_end) {
        ::WaitForSingleObject(hThread, INFINITE);
    }
    ::CloseHandle(hThread);
}

// Ends every thread of a failed start-up. Threads still suspended are resumed with the shutdown flag
// set. Before the thread table is in the context a worker finds no record and ends at once; after
// it, workers run their loop, so each is ended by a buffer leaving circulation (a cancelled receive)
// or, when it has none to take, by a wake-up packet. Only threads that can end are waited for.
void EndStartedThreads(PendingStart& start) {
    ScanContext& context = start.context;
    context.ShutDown.store(true);
    ScanThreadContext* const table = start.pThreadTable.get();  // null when no worker was created

    bool can_end[kScanThreadCount] = {};
    DWORD running = start.resumed;
    for (DWORD i = 0; i < start.created; ++i) {
        if (i < start.resumed) {
            can_end[i] = true;
            continue;
        }
        const ThreadEnd end = ResumeToEnd(table[i].hThread, static_cast<DWORD>(E_FAIL));
        can_end[i] = end != ThreadEnd::Stuck;
        running += end == ThreadEnd::Runs ? 1 : 0;
    }
    if (context.pScanThreadCtx != nullptr) {
        const DWORD parked = FreeParkedBuffers(context);
        ::CancelIoEx(context.pConnection->hPort, nullptr);
        WakeWorkers(context, running - start.queued + parked);
    }
    bool supervisor_can_end = false;
    if (context.hSupervisor != nullptr) {
        ::SetEvent(context.hStopEvent);
        supervisor_can_end = ResumeToEnd(context.hSupervisor, 0) != ThreadEnd::Stuck;
    }
    bool abort_can_end = start.abort_resumed;
    if (start.hAbortThread && !start.abort_resumed) {
        abort_can_end = ResumeToEnd(start.hAbortThread.get(), 0) != ThreadEnd::Stuck;
    }

    for (DWORD i = 0; i < start.created; ++i) {
        WaitAndClose(table[i].hThread, can_end[i]);
    }
    if (context.hSupervisor != nullptr) {
        WaitAndClose(std::exchange(context.hSupervisor, nullptr), supervisor_can_end);
    }
    if (start.hAbortThread && abort_can_end) {
        ::WaitForSingleObject(start.hAbortThread.get(), INFINITE);
    }
}

HRESULT CloseAndClear(HANDLE& handle) {
    const HRESULT hr = ::CloseHandle(handle) ? S_OK : HResultFromLastError();
    handle = nullptr;
    return hr;
}

// Closes the connection, the completion port, the supervisor and its events, once no thread uses
// them. The result is that of a failed close of the port or, before it, of the completion port.
HRESULT CloseLink(ScanContext& context) {
    HRESULT hr = S_OK;
    if (const HRESULT port_hr = ReleaseConnection(std::exchange(context.pConnection, nullptr)); FAILED(port_hr)) {
        hr = port_hr;
    }
    if (context.hCompletionPort != nullptr && !context.CompletionPortClosed) {
        if (const HRESULT completion_hr = CloseAndClear(context.hCompletionPort); FAILED(completion_hr)) {
            hr = completion_hr;
        }
    }
    context.hCompletionPort = nullptr;
    for (HANDLE* pHandle : {&context.hSupervisor, &context.hStopEvent, &context.hWakeEvent}) {
        if (*pHandle != nullptr) {
            ::CloseHandle(std::exchange(*pHandle, nullptr));
        }
    }
    return hr;
}

// Brings a failed start-up down completely and returns its failure.
HRESULT AbandonStart(PendingStart& start, HRESULT failure) {
    ScanContext& context = start.context;
    EndStartedThreads(start);
    context.pScanThreadCtx = nullptr;
    context.hAbortThread = nullptr;
    start.hAbortThread.reset();
    start.pThreadTable.reset();
    CloseLink(context);
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

// The supervisor and its events; the thread stays suspended until the client runs.
HRESULT CreateSupervisor(ScanContext& context) {
    context.hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    context.hWakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (context.hStopEvent == nullptr || context.hWakeEvent == nullptr) {
        return HResultFromLastError();
    }
    context.hSupervisor = ::CreateThread(nullptr, 0, SuperviseConnection, &context, CREATE_SUSPENDED, nullptr);
    return context.hSupervisor != nullptr ? S_OK : HResultFromLastError();
}

// Connects, puts the connection in use and sends the configuration, which is remembered for later
// reconnections. A configuration the driver refuses does not stop the start.
HRESULT Connect(ScanContext& context, const DriverConfig& config) {
    HANDLE hPort = nullptr;
    if (const HRESULT hr = ConnectToDriver(&hPort); FAILED(hr)) {
        return hr;
    }
    context.pConnection = NewConnection(hPort);
    if (context.pConnection == nullptr) {
        ::CloseHandle(hPort);
        return E_OUTOFMEMORY;
    }
    context.LastConfiguration = BuildConfigurationCommand(config.ConfigText, config.ConfigValue1, config.ConfigValue2);
    SendConfigurationCommand(hPort, context.LastConfiguration);
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
    ScanContext& context = start.context;
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        HeapPtr<ScanMessage> pMessage = AllocateScanMessage();
        if (!pMessage) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = QueueReceiveOn(context, *context.pConnection, pMessage.get());
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
    if (const HRESULT hr = CreateSupervisor(context); FAILED(hr)) {
        return AbandonStart(start, hr);
    }
    if (const HRESULT hr = Connect(context, config); FAILED(hr)) {
        return AbandonStart(start, hr);
    }

    context.hCompletionPort = ::CreateIoCompletionPort(context.pConnection->hPort, nullptr,
                                                       ConnectionKey(*context.pConnection), kScanThreadCount);
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
    if (::ResumeThread(context.hSupervisor) == static_cast<DWORD>(-1)) {
        return AbandonStart(start, HResultFromLastError());
    }

    // The client runs: the table and the abort thread belong to the context now.
    static_cast<void>(start.pThreadTable.release());
    static_cast<void>(start.hAbortThread.release());
    return S_OK;
}

HRESULT ReleaseScanContext(ScanContext& context) {
    if (context.pScanThreadCtx == nullptr) {
        return E_POINTER;
    }
    if (context.hAbortThread != nullptr) {
        ::CloseHandle(context.hAbortThread);
        context.hAbortThread = nullptr;
    }
    const HRESULT hr = CloseLink(context);
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
    ScanContext* const pContext = g_pScanContext;
    if (pContext == nullptr || pContext->pScanThreadCtx == nullptr) {
        return FALSE;  // not running
    }
    return ConfigureDriver(*pContext, config_text, config_value1, config_value2);
}

HRESULT ClientDisconnect() {
    if (g_pScanContext == nullptr) {
        return E_POINTER;
    }
    ScanContext& context = *g_pScanContext;
    StopScanWorkers(context);
    return ReleaseScanContext(context);
}

}  // namespace varnok
