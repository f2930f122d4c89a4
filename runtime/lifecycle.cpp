#include "lifecycle.h"

#include <array>
#include <memory>
#include <new>
#include <utility>

#include "connection.h"
#include "log_sink.h"
#include "protocol.h"
#include "records.h"
#include "trace.h"
#include "unique_handle.h"
#include "worker_pool.h"

namespace varnok {

RunningClient::RunningClient() noexcept = default;

RunningClient::~RunningClient() {
    // The stop path released the connection and closed the completion port already, unless the
    // start-up failed before they existed; whatever is left goes now.
    ReleaseConnection(std::exchange(connection, nullptr));
    if (completion_port_closed) {
        // Closed early by WakeWorkers, so that every worker's wait failed; the value is stale.
        static_cast<void>(completion_port.Release());
    }
}

namespace {

// Exists only because hosts have always seen the client start this thread: it does nothing.
DWORD WINAPI AbortThread(LPVOID /*parameter*/) { return 0; }

// How far a start-up got. A client that runs has got all the way; the one stop path reads this to
// know which threads can end and how many workers hold no buffer.
struct StartProgress {
    DWORD created = 0;  // workers created, in table order
    DWORD resumed = 0;  // workers resumed, in table order
    DWORD queued = 0;   // receives queued: the buffers in circulation
    bool abort_resumed = false;
    bool supervisor_resumed = false;
};

enum class ThreadEnd { kRuns, kTerminated, kStuck };

// How often the stop cancels the file calls of a worker that has not ended yet.
constexpr DWORD kStopCancelPeriodMs = 50;

// A thread that never ran is resumed so that it ends by itself, or else terminated. When neither
// works it stays suspended for good: it never runs, and nobody may wait for it.
ThreadEnd ResumeToEnd(HANDLE thread, DWORD exit_code) {
    if (::ResumeThread(thread) != static_cast<DWORD>(-1)) {
        return ThreadEnd::kRuns;
    }
    return ::TerminateThread(thread, exit_code) ? ThreadEnd::kTerminated : ThreadEnd::kStuck;
}

// Waits for every worker that can end. A worker in one of the library's file calls that another
// process holds up is not waited for indefinitely: its waits end at once, and the call of every
// worker still running is cancelled, now and again each period until all have ended. Every one:
// a worker waiting at a file's gate in this process may be queued behind another worker's call, so
// cancelling only the call of the worker waited for could wait for ever. A worker in a host's
// callback is waited for.
void EndWorkers(RunningClient& client, const StartProgress& progress, const bool (&can_end)[kScanThreadCount]) {
    for (WorkerThread& worker : client.workers) {
        worker.watch.abandon.store(true);
    }
    std::array<WorkerThread*, kScanThreadCount> ending{};
    std::array<HANDLE, kScanThreadCount> threads{};
    DWORD count = 0;
    for (DWORD i = 0; i < progress.created; ++i) {
        if (can_end[i]) {
            ending[count] = &client.workers[i];
            threads[count++] = client.workers[i].thread.Get();
        }
    }
    DWORD waited = WAIT_TIMEOUT;
    while (count > 0 && waited == WAIT_TIMEOUT) {
        for (DWORD i = 0; i < count; ++i) {
            CancelBlockingCall(ending[i]->watch, threads[i], ~std::uint64_t{0});
        }
        waited = ::WaitForMultipleObjects(count, threads.data(), TRUE, kStopCancelPeriodMs);
    }
    for (DWORD i = 0; i < count; ++i) {
        if (waited == WAIT_FAILED) {
            // Nothing to wait with for all at once: one at a time, each still cancelled.
            while (::WaitForSingleObject(threads[i], kStopCancelPeriodMs) == WAIT_TIMEOUT) {
                CancelBlockingCall(ending[i]->watch, threads[i], ~std::uint64_t{0});
            }
        }
        TraceWorkerExit(*ending[i]);
    }
}

// The one stop path, for a client that runs and for a start-up that failed halfway. It ends every
// thread that can end and waits for it; what the client owns is freed by its destructor after. The
// result is that of a failed close of the port or, before it, of the completion port.
//
// The supervisor goes first, so that it puts no parked buffer back into circulation. Workers still
// suspended are resumed with the shutdown flag set. Before the worker table is ready a worker finds
// no record and ends at once; after it, each worker is ended by a buffer leaving circulation (a
// cancelled receive, or a parked buffer freed here and replaced by a wake-up packet) or, when it
// has no buffer to take, by a wake-up packet of its own.
HRESULT StopClient(RunningClient& client, const StartProgress& progress) {
    client.shut_down.store(true);
    if (client.supervisor) {
        ::SetEvent(client.stop_event.Get());
        if (progress.supervisor_resumed || ResumeToEnd(client.supervisor.Get(), 0) != ThreadEnd::kStuck) {
            ::WaitForSingleObject(client.supervisor.Get(), INFINITE);  // it ends at once, between two steps
        }
    }

    bool can_end[kScanThreadCount] = {};
    DWORD running = progress.resumed;
    for (DWORD i = 0; i < progress.created; ++i) {
        if (i < progress.resumed) {
            can_end[i] = true;
            continue;
        }
        const ThreadEnd end = ResumeToEnd(client.workers[i].thread.Get(), static_cast<DWORD>(E_FAIL));
        can_end[i] = end != ThreadEnd::kStuck;
        running += end == ThreadEnd::kRuns ? 1 : 0;
    }
    if (client.workers_ready.load()) {
        const DWORD parked = FreeParkedBuffers(client);
        {
            const SrwShared lock(client.connection_lock);
            if (client.connection != nullptr) {
                ::CancelIoEx(client.connection->port, nullptr);
            }
        }
        WakeWorkers(client, running - progress.queued + parked);
    }
    bool abort_can_end = progress.abort_resumed;
    if (client.abort_thread && !progress.abort_resumed) {
        abort_can_end = ResumeToEnd(client.abort_thread.Get(), 0) != ThreadEnd::kStuck;
    }

    EndWorkers(client, progress, can_end);
    if (abort_can_end) {
        ::WaitForSingleObject(client.abort_thread.Get(), INFINITE);
    }

    HRESULT hr = S_OK;
    if (const HRESULT port_hr = ReleaseConnection(std::exchange(client.connection, nullptr)); FAILED(port_hr)) {
        hr = port_hr;
    }
    if (!client.completion_port_closed) {
        if (const HResult completion_hr = client.completion_port.Close(); completion_hr != kSOk) {
            hr = completion_hr;
        }
    }
    return hr;
}

HRESULT CreateWorkers(RunningClient& client, StartProgress& progress) {
    for (WorkerThread& worker : client.workers) {
        if (const HResult hr = worker.thread.Adopt(
                ::CreateThread(nullptr, 0, ScanWorker, &client, CREATE_SUSPENDED, &worker.thread_id));
            hr != kSOk) {
            return hr;
        }
        ++progress.created;
    }
    return S_OK;
}

// The supervisor and its events; the thread stays suspended until the client runs. Each failure
// reports its own error.
HRESULT CreateSupervisor(RunningClient& client) {
    if (const HResult hr = client.stop_event.Adopt(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); hr != kSOk) {
        return hr;
    }
    if (const HResult hr = client.wake_event.Adopt(::CreateEventW(nullptr, FALSE, FALSE, nullptr)); hr != kSOk) {
        return hr;
    }
    return client.supervisor.Adopt(::CreateThread(nullptr, 0, SuperviseConnection, &client, CREATE_SUSPENDED, nullptr));
}

// Connects, puts the connection in use and sends the configuration, which is remembered for later
// reconnections. A configuration the driver refuses does not stop the start.
HRESULT Connect(RunningClient& client, const DriverConfig& config) {
    HANDLE port = nullptr;
    if (const HRESULT hr = ConnectToDriver(&port); FAILED(hr)) {
        return hr;
    }
    client.connection = NewConnection(port);
    if (client.connection == nullptr) {
        ::CloseHandle(port);
        return E_OUTOFMEMORY;
    }
    client.last_configuration = BuildConfigurationCommand(config.ConfigText, config.ConfigValue1, config.ConfigValue2);
    SendConfigurationCommand(port, client.last_configuration);
    return S_OK;
}

HRESULT ResumeThreads(RunningClient& client, StartProgress& progress) {
    for (WorkerThread& worker : client.workers) {
        if (::ResumeThread(worker.thread.Get()) == static_cast<DWORD>(-1)) {
            return HResultFromLastError();
        }
        ++progress.resumed;
    }
    if (::ResumeThread(client.abort_thread.Get()) == static_cast<DWORD>(-1)) {
        return HResultFromLastError();
    }
    progress.abort_resumed = true;
    return S_OK;
}

HRESULT QueueReceives(RunningClient& client, StartProgress& progress) {
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        HeapPtr<ScanMessage> buffer = AllocateScanMessage();
        if (!buffer) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = QueueReceiveOn(client, *client.connection, buffer);
        if (!IsReceiveQueued(hr)) {
            return hr;
        }
        ++progress.queued;
    }
    return S_OK;
}

// Brings the client to life. On failure everything it started is stopped and freed before the
// failure is returned.
HRESULT StartClient(RunningClient& client, const DriverConfig& config, StartProgress& progress) {
    if (const HResult hr =
            client.abort_thread.Adopt(::CreateThread(nullptr, 0, AbortThread, &client, CREATE_SUSPENDED, nullptr));
        hr != kSOk) {
        Log(HostLog(), LogLevel::kWarn, L"Could not open 'abort' port");
        return hr;
    }
    if (const HRESULT hr = CreateWorkers(client, progress); FAILED(hr)) {
        return hr;
    }
    if (const HRESULT hr = CreateSupervisor(client); FAILED(hr)) {
        return hr;
    }
    if (const HRESULT hr = RecordKey::Create(client.record_key); FAILED(hr)) {
        return hr;
    }
    if (const HRESULT hr = Connect(client, config); FAILED(hr)) {
        return hr;
    }
    if (const HResult hr = client.completion_port.Adopt(::CreateIoCompletionPort(
            client.connection->port, nullptr, ConnectionKey(*client.connection), kScanThreadCount));
        hr != kSOk) {
        return hr;
    }

    client.workers_ready.store(true);
    if (const HRESULT hr = ResumeThreads(client, progress); FAILED(hr)) {
        return hr;
    }
    if (const HRESULT hr = QueueReceives(client, progress); FAILED(hr)) {
        return hr;
    }
    if (::ResumeThread(client.supervisor.Get()) == static_cast<DWORD>(-1)) {
        return HResultFromLastError();
    }
    progress.supervisor_resumed = true;
    return S_OK;
}

// A client that runs got all the way through its start-up.
constexpr StartProgress kRunning{kScanThreadCount, kScanThreadCount, kScanThreadCount, true, true};

}  // namespace

ProcessSlot g_process;

HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback, EventHandler handler) {
    if (config == nullptr || handler == nullptr) {
        return E_POINTER;
    }
    // A running client keeps its pool and its port; the host must disconnect first.
    if (g_process.client) {
        return HResultFromWin32(ERROR_ALREADY_INITIALIZED);
    }
    std::unique_ptr<RunningClient> client(new (std::nothrow) RunningClient());
    if (!client) {
        // Logged through the callback of an earlier start, if any: this one's is not taken yet.
        Log(HostLog(), LogLevel::kWarn, L"could not find scan context");
        return E_POINTER;
    }
    g_process.scan_callback.store(scan_callback);
    g_process.scan_result_callback.store(scan_result_callback);
    g_process.log_callback.store(log_callback);
    client->handler = handler;

    StartProgress progress;
    if (const HRESULT hr = StartClient(*client, *config, progress); FAILED(hr)) {
        StopClient(*client, progress);
        return hr;
    }
    g_process.client = std::move(client);
    return S_OK;
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    if (!g_process.client) {
        return FALSE;  // not running
    }
    return ConfigureDriver(*g_process.client, config_text, config_value1, config_value2);
}

HRESULT ClientDisconnect() {
    if (!g_process.client) {
        return E_POINTER;  // never started, or stopped already
    }
    const HRESULT hr = StopClient(*g_process.client, kRunning);
    g_process.client.reset();
    return hr;
}

}  // namespace varnok
