// The exported functions' work: the client's start-up, its configuration while it runs, its stop.
#include "lifecycle.h"

#include <array>
#include <memory>
#include <new>
#include <utility>

#include "client_stop.h"
#include "connection.h"
#include "log_sink.h"
#include "protocol.h"
#include "running_client.h"
#include "trace.h"
#include "unique_handle.h"
#include "worker_pool.h"

namespace varnok {

RunningClient::RunningClient() noexcept = default;

RunningClient::~RunningClient() {
    // The stop path released the connection and closed the completion port already, unless the
    // start-up failed before they existed; whatever is left goes now (the connection, as it goes).
    if (completion_port_closed) {
        // Closed early by WakeWorkers, so that every worker's wait failed; the value is stale.
        static_cast<void>(completion_port.Release());
    }
}

namespace {

// Exists only because hosts have always seen the client start this thread: it does nothing.
DWORD WINAPI AbortThread(LPVOID /*parameter*/) { return 0; }

HResult CreateWorkers(RunningClient& client, StartProgress& progress) {
    for (WorkerThread& worker : client.workers) {
        if (const HResult hr = worker.thread.Adopt(
                ::CreateThread(nullptr, 0, ScanWorker, &client, CREATE_SUSPENDED, &worker.thread_id));
            hr != kSOk) {
            return hr;
        }
        ++progress.created;
    }
    return kSOk;
}

// The supervisor and its events; the thread stays suspended until the client runs. Each failure
// reports its own error.
HResult CreateSupervisor(RunningClient& client) {
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
HResult Connect(RunningClient& client, const DriverConfig& config) {
    HANDLE port = nullptr;
    if (const HResult hr = ConnectToDriver(&port); hr < 0) {
        return hr;
    }
    client.connection = ConnectionRef::New(port);
    if (!client.connection) {
        ::CloseHandle(port);
        return kEOutOfMemory;
    }
    client.last_configuration = BuildConfigurationCommand(config.ConfigText, config.ConfigValue1, config.ConfigValue2);
    SendConfigurationCommand(port, client.last_configuration);
    return kSOk;
}

HResult ResumeThreads(RunningClient& client, StartProgress& progress) {
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
    return kSOk;
}

HResult QueueReceives(RunningClient& client, StartProgress& progress) {
    for (DWORD i = 0; i < kScanThreadCount; ++i) {
        HeapPtr<ScanMessage> buffer = AllocateScanMessage();
        if (!buffer) {
            return kEOutOfMemory;
        }
        const HResult hr = QueueReceiveOn(client, client.connection, buffer);
        if (!IsReceiveQueued(hr)) {
            return hr;
        }
        ++progress.queued;
    }
    return kSOk;
}

// Brings the client to life. On failure everything it started is stopped and freed before the
// failure is returned.
HResult StartClient(RunningClient& client, const DriverConfig& config, StartProgress& progress) {
    if (const HResult hr =
            client.abort_thread.Adopt(::CreateThread(nullptr, 0, AbortThread, &client, CREATE_SUSPENDED, nullptr));
        hr != kSOk) {
        Log(HostLog(), LogLevel::kWarn, L"Could not open 'abort' port");
        return hr;
    }
    if (const HResult hr = CreateWorkers(client, progress); hr < 0) {
        return hr;
    }
    if (const HResult hr = CreateSupervisor(client); hr < 0) {
        return hr;
    }
    if (const HResult hr = RecordKey::Create(client.record_key); hr < 0) {
        return hr;
    }
    if (const HResult hr = Connect(client, config); hr < 0) {
        return hr;
    }
    if (const HResult hr = client.completion_port.Adopt(
            ::CreateIoCompletionPort(client.connection->port, nullptr, client.connection.Key(), kScanThreadCount));
        hr != kSOk) {
        return hr;
    }

    client.workers_ready.store(true);
    if (const HResult hr = ResumeThreads(client, progress); hr < 0) {
        return hr;
    }
    if (const HResult hr = QueueReceives(client, progress); hr < 0) {
        return hr;
    }
    if (::ResumeThread(client.supervisor.Get()) == static_cast<DWORD>(-1)) {
        return HResultFromLastError();
    }
    progress.supervisor_resumed = true;
    return kSOk;
}

}  // namespace

ProcessSlot g_process;

HResult FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback, EventHandler handler) {
    if (config == nullptr || handler == nullptr) {
        return kEPointer;
    }
    // A running client keeps its pool and its port; the host must disconnect first.
    if (g_process.client) {
        return HResultFromWin32(ERROR_ALREADY_INITIALIZED);
    }
    std::unique_ptr<RunningClient> client(new (std::nothrow) RunningClient());
    if (!client) {
        // Logged through the callback of an earlier start, if any: this one's is not taken yet.
        Log(HostLog(), LogLevel::kWarn, L"could not find scan context");
        return kEPointer;
    }
    g_process.scan_callback.store(scan_callback);
    g_process.scan_result_callback.store(scan_result_callback);
    g_process.log_callback.store(log_callback);
    client->handler = handler;

    StartProgress progress;
    if (const HResult hr = StartClient(*client, *config, progress); hr < 0) {
        StopClient(*client, progress);
        return hr;
    }
    g_process.client = std::move(client);
    return kSOk;
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    if (!g_process.client) {
        return FALSE;  // not running
    }
    return ConfigureDriver(*g_process.client, config_text, config_value1, config_value2);
}

HResult ClientDisconnect() {
    if (!g_process.client) {
        return kEPointer;  // never started, or stopped already
    }
    const HResult hr = StopClient(*g_process.client, kRunning);
    g_process.client.reset();
    return hr;
}

}  // namespace varnok
