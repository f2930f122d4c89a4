#include "connection.h"

#include <algorithm>
#include <bit>
#include <new>
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

bool HasConnection(RunningClient& context) {
    const SrwShared lock(context.connection_lock);
    return context.connection != nullptr;
}

// Takes a lost connection out of use: its receives still pending are cancelled and come back to
// the workers, who park their buffers until a new connection is up.
bool RetireLostConnection(RunningClient& context) {
    DriverConnection* p_lost = nullptr;
    {
        const SrwExclusive lock(context.connection_lock);
        if (context.connection == nullptr || !context.connection->lost.load()) {
            return false;
        }
        p_lost = std::exchange(context.connection, nullptr);
    }
    p_lost->retired.store(true);
    ::CancelIoEx(p_lost->port, nullptr);
    ReleaseConnection(p_lost);
    return true;
}

// Connects to the driver again, sends it the last configuration and puts the connection in use.
HRESULT Reconnect(RunningClient& context) {
    HANDLE h_port = nullptr;
    if (const HRESULT hr = ConnectToDriver(&h_port); FAILED(hr)) {
        return hr;
    }
    DriverConnection* const p_connection = NewConnection(h_port);
    if (p_connection == nullptr) {
        ::CloseHandle(h_port);
        return E_OUTOFMEMORY;
    }
    if (::CreateIoCompletionPort(h_port, context.completion_port.Get(), ConnectionKey(*p_connection), 0) == nullptr) {
        const HRESULT hr = HResultFromLastError();
        ReleaseConnection(p_connection);
        return hr;
    }
    // Under the configuration lock, so that a SetDriverConfiguration of the host cannot go out
    // between this send and the connection's coming into use, only to be overtaken by it.
    const SrwExclusive config(context.config_lock);
    // As at start-up, a configuration the driver refuses does not stop the client.
    SendConfigurationCommand(h_port, context.last_configuration);
    const SrwExclusive lock(context.connection_lock);
    context.connection = p_connection;
    return S_OK;
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
DWORD Supervise(RunningClient& context, SupervisorState& state) {
    const std::uint64_t now = ::GetTickCount64();
    if (RetireLostConnection(context)) {
        Log(HostLog(), LogLevel::kWarn, kWarnConnectionLost);
        // The first try after the first delay; each failure then doubles the wait.
        Postpone(state.reconnect_delay, state.reconnect_at, now, kMaxReconnectDelayMs);
    }
    if (!HasConnection(context)) {
        if (now < state.reconnect_at) {
            return Remaining(state.reconnect_at, now);
        }
        if (FAILED(Reconnect(context))) {
            return Postpone(state.reconnect_delay, state.reconnect_at, now, kMaxReconnectDelayMs);
        }
        state.reconnect_delay = kFirstReconnectDelayMs;
        state.requeue_at = 0;
        const bool all_queued = RequeueParkedBuffers(context);
        Log(HostLog(), LogLevel::kWarn, kWarnConnectionRestored);
        if (all_queued) {
            return INFINITE;
        }
    }
    if (ParkedBufferCount(context) == 0) {
        state.requeue_delay = kFirstRequeueDelayMs;
        return INFINITE;
    }
    if (now < state.requeue_at) {
        return Remaining(state.requeue_at, now);
    }
    if (RequeueParkedBuffers(context)) {
        state.requeue_delay = kFirstRequeueDelayMs;
        return INFINITE;
    }
    return Postpone(state.requeue_delay, state.requeue_at, now, kMaxRequeueDelayMs);
}

}  // namespace

bool IsConnectionLost(HRESULT hr) {
    return hr == HResultFromWin32(ERROR_INVALID_HANDLE) || hr == HResultFromWin32(ERROR_PIPE_NOT_CONNECTED) ||
           hr == HResultFromWin32(ERROR_BROKEN_PIPE) || hr == HResultFromWin32(ERROR_NO_DATA) ||
           hr == kPortDisconnected;
}

DriverConnection* NewConnection(HANDLE h_port) {
    auto* const p_connection = new (std::nothrow) DriverConnection{};
    if (p_connection != nullptr) {
        p_connection->port = h_port;
        p_connection->references.store(1);
    }
    return p_connection;
}

void AddConnectionReference(DriverConnection& connection) { connection.references.fetch_add(1); }

HRESULT ReleaseConnection(DriverConnection* p_connection) {
    if (p_connection == nullptr || p_connection->references.fetch_sub(1) != 1) {
        return S_OK;
    }
    const HRESULT hr = ::CloseHandle(p_connection->port) ? S_OK : HResultFromLastError();
    if (FAILED(hr)) {
        Trace(L"the driver's port did not close: ", TraceHex{static_cast<std::uint32_t>(hr)});
    }
    delete p_connection;
    return hr;
}

ULONG_PTR ConnectionKey(DriverConnection& connection) { return reinterpret_cast<ULONG_PTR>(&connection); }

// The key is the record's address, handed back by the completion port unchanged.
DriverConnection* ConnectionFromKey(ULONG_PTR key) { return std::bit_cast<DriverConnection*>(key); }

DriverConnection* AcquireConnection(RunningClient& context) {
    const SrwShared lock(context.connection_lock);
    DriverConnection* const p_connection = context.connection;
    if (p_connection == nullptr || p_connection->lost.load()) {
        return nullptr;
    }
    AddConnectionReference(*p_connection);
    return p_connection;
}

void MarkConnectionLost(RunningClient& context, DriverConnection& connection) {
    if (!connection.lost.exchange(true)) {
        ::SetEvent(context.wake_event.Get());
    }
}

void WarnRateLimited(RunningClient& context, RateLimitedWarning kind, const wchar_t* text) noexcept {
    std::atomic<std::uint64_t>& next = context.next_warning_tick[static_cast<std::uint32_t>(kind)];
    const std::uint64_t now = ::GetTickCount64();
    std::uint64_t due = next.load();
    // Of the threads that find one due, only the one that moves the next tick on logs it.
    if (now >= due && next.compare_exchange_strong(due, now + kWarningIntervalMs)) {
        Log(HostLog(), LogLevel::kWarn, text);
    }
}

BOOL ConfigureDriver(RunningClient& context, const wchar_t* config_text, std::uint32_t config_value1,
                     std::uint32_t config_value2) {
    const ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    const SrwExclusive config(context.config_lock);
    context.last_configuration = message;
    DriverConnection* const p_connection = AcquireConnection(context);
    if (p_connection == nullptr) {
        return FALSE;  // remembered: the driver gets it when the connection is back
    }
    const HRESULT hr = SendConfigurationCommand(p_connection->port, message);
    if (IsConnectionLost(hr)) {
        MarkConnectionLost(context, *p_connection);
    }
    ReleaseConnection(p_connection);
    return hr == S_OK ? TRUE : FALSE;
}

DWORD WINAPI SuperviseConnection(LPVOID parameter) {
    RunningClient& context = *static_cast<RunningClient*>(parameter);
    SupervisorState state;
    const HANDLE events[] = {context.stop_event.Get(), context.wake_event.Get()};
    DWORD timeout = INFINITE;
    for (;;) {
        // Wakes at least once a watch period, for the workers' file calls.
        const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, std::min(timeout, kWatchPeriodMs));
        if ((woke != WAIT_OBJECT_0 + 1 && woke != WAIT_TIMEOUT) || context.shut_down.load()) {
            return 0;  // stopped; a failed wait leaves nothing to wait with either
        }
        const std::uint64_t now = ::GetTickCount64();
        CancelStuckFileCalls(context, now > kFileWaitLimitMs ? now - kFileWaitLimitMs : 0);
        timeout = Supervise(context, state);
    }
}

}  // namespace varnok
