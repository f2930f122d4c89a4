// The library's link to the driver: a lost connection noticed, and the supervisor that connects again.
#include "connection.h"

#include <algorithm>
#include <utility>

#include "blocking_call.h"
#include "log_sink.h"
#include "protocol.h"
#include "trace.h"
#include "worker_pool.h"

namespace varnok {
namespace {

const wchar_t kWarnConnectionLost[] = L"lost connection to kernel driver - reconnecting";
const wchar_t kWarnConnectionRestored[] = L"connection to kernel driver restored";

// How often the supervisor looks for a worker's file call that has lasted too long.
constexpr DWORD kWatchPeriodMs = 500;

// HRESULT_FROM_NT(STATUS_PORT_DISCONNECTED): a port call on a connection the driver has closed.
constexpr HResult kPortDisconnected = static_cast<HResult>(0xD0000037u);

bool HasConnection(RunningClient& client) {
    const SrwShared lock(client.connection_lock);
    return static_cast<bool>(client.connection);
}

// Takes a lost connection out of use: its receives still pending are cancelled and come back to
// the workers, who park their buffers until a new connection is up.
bool RetireLostConnection(RunningClient& client) {
    ConnectionRef lost;
    {
        const SrwExclusive lock(client.connection_lock);
        if (!client.connection || !client.connection->lost.load()) {
            return false;
        }
        lost = std::move(client.connection);
    }
    lost->retired.store(true);
    ::CancelIoEx(lost->port, nullptr);
    return true;
}

// Connects to the driver again, sends it the last configuration and puts the connection in use.
HResult Reconnect(RunningClient& client) {
    HANDLE port = nullptr;
    if (const HResult hr = ConnectToDriver(&port); hr < 0) {
        return hr;
    }
    ConnectionRef connection = ConnectionRef::New(port);
    if (!connection) {
        ::CloseHandle(port);
        return kEOutOfMemory;
    }
    if (::CreateIoCompletionPort(port, client.completion_port.Get(), connection.Key(), 0) == nullptr) {
        return HResultFromLastError();
    }
    // Under the configuration lock, so that a SetDriverConfiguration of the host cannot go out
    // between this send and the connection's coming into use, only to be overtaken by it.
    const SrwExclusive config(client.config_lock);
    // As at start-up, a configuration the driver refuses does not stop the client.
    SendConfigurationCommand(port, client.last_configuration);
    const SrwExclusive lock(client.connection_lock);
    client.connection = std::move(connection);
    return kSOk;
}

// When the supervisor acts next. Owned and touched by the supervisor thread alone.
struct SupervisorState {
    DWORD reconnect_delay = kFirstReconnectDelayMs;
    std::uint64_t reconnect_at = 0;
    DWORD requeue_delay = kFirstRequeueDelayMs;
    std::uint64_t requeue_at = 0;
};

DWORD Remaining(std::uint64_t at, std::uint64_t now) { return static_cast<DWORD>(at - now); }

// Schedules the next try after a failure: the delay doubles up to its bound.
DWORD Postpone(DWORD& delay, std::uint64_t& at, std::uint64_t now, DWORD max_delay) {
    const DWORD wait = delay;
    at = now + wait;
    delay = std::min(delay * 2, max_delay);
    return wait;
}

// Does whatever is due, and returns how long to wait before something is due again.
DWORD Supervise(RunningClient& client, SupervisorState& state) {
    const std::uint64_t now = ::GetTickCount64();
    if (RetireLostConnection(client)) {
        Log(HostLog(), LogLevel::kWarn, kWarnConnectionLost);
        // The first try after the first delay; each failure then doubles the wait.
        Postpone(state.reconnect_delay, state.reconnect_at, now, kMaxReconnectDelayMs);
    }
    if (!HasConnection(client)) {
        if (now < state.reconnect_at) {
            return Remaining(state.reconnect_at, now);
        }
        if (Reconnect(client) < 0) {
            return Postpone(state.reconnect_delay, state.reconnect_at, now, kMaxReconnectDelayMs);
        }
        state.reconnect_delay = kFirstReconnectDelayMs;
        state.requeue_at = 0;
        const bool all_queued = RequeueParkedBuffers(client);
        Log(HostLog(), LogLevel::kWarn, kWarnConnectionRestored);
        if (all_queued) {
            return INFINITE;
        }
    }
    if (ParkedBufferCount(client) == 0) {
        state.requeue_delay = kFirstRequeueDelayMs;
        return INFINITE;
    }
    if (now < state.requeue_at) {
        return Remaining(state.requeue_at, now);
    }
    if (RequeueParkedBuffers(client)) {
        state.requeue_delay = kFirstRequeueDelayMs;
        return INFINITE;
    }
    return Postpone(state.requeue_delay, state.requeue_at, now, kMaxRequeueDelayMs);
}

}  // namespace

bool IsConnectionLost(HResult hr) {
    return hr == HResultFromWin32(ERROR_INVALID_HANDLE) || hr == HResultFromWin32(ERROR_PIPE_NOT_CONNECTED) ||
           hr == HResultFromWin32(ERROR_BROKEN_PIPE) || hr == HResultFromWin32(ERROR_NO_DATA) ||
           hr == kPortDisconnected;
}

ConnectionRef AcquireConnection(RunningClient& client) {
    const SrwShared lock(client.connection_lock);
    if (!client.connection || client.connection->lost.load()) {
        return ConnectionRef();
    }
    return client.connection;
}

void MarkConnectionLost(RunningClient& client, DriverConnection& connection) {
    if (!connection.lost.exchange(true)) {
        ::SetEvent(client.wake_event.Get());
    }
}

void WarnRateLimited(RunningClient& client, RateLimitedWarning kind, const wchar_t* text) noexcept {
    std::atomic<std::uint64_t>& next = client.next_warning_tick[static_cast<std::uint32_t>(kind)];
    const std::uint64_t now = ::GetTickCount64();
    std::uint64_t due = next.load();
    // Of the threads that find one due, only the one that moves the next tick on logs it.
    if (now >= due && next.compare_exchange_strong(due, now + kWarningIntervalMs)) {
        Log(HostLog(), LogLevel::kWarn, text);
    }
}

BOOL ConfigureDriver(RunningClient& client, const wchar_t* config_text, std::uint32_t config_value1,
                     std::uint32_t config_value2) {
    const ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    const SrwExclusive config(client.config_lock);
    client.last_configuration = message;
    const ConnectionRef connection = AcquireConnection(client);
    if (!connection) {
        return FALSE;  // remembered: the driver gets it when the connection is back
    }
    const HResult hr = SendConfigurationCommand(connection->port, message);
    if (IsConnectionLost(hr)) {
        MarkConnectionLost(client, *connection);
    }
    return hr == kSOk ? TRUE : FALSE;
}

DWORD WINAPI SuperviseConnection(LPVOID parameter) {
    RunningClient& client = *static_cast<RunningClient*>(parameter);
    SupervisorState state;
    const HANDLE events[] = {client.stop_event.Get(), client.wake_event.Get()};
    DWORD timeout = INFINITE;
    for (;;) {
        // Wakes at least once a watch period, for the workers' file calls.
        const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, std::min(timeout, kWatchPeriodMs));
        if ((woke != WAIT_OBJECT_0 + 1 && woke != WAIT_TIMEOUT) || client.shut_down.load()) {
            return 0;  // stopped; a failed wait leaves nothing to wait with either
        }
        const std::uint64_t now = ::GetTickCount64();
        CancelStuckFileCalls(client, now > kFileWaitLimitMs ? now - kFileWaitLimitMs : 0);
        timeout = Supervise(client, state);
    }
}

}  // namespace varnok
