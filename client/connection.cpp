#include "client/connection.h"

#include <algorithm>
#include <bit>
#include <new>
#include <utility>

#include "client/protocol.h"
#include "client/worker_pool.h"
#include "log/log.h"

namespace varnok {
namespace {

const wchar_t kWarnConnectionLost[] = L"lost connection to kernel driver - reconnecting";
const wchar_t kWarnConnectionRestored[] = L"connection to kernel driver restored";

// HRESULT_FROM_NT(STATUS_PORT_DISCONNECTED): a port call on a connection the driver has closed.
constexpr HResult kPortDisconnected = static_cast<HResult>(0xD0000037u);

// The supervisor's loop records no failure of its own anywhere but in the log; a LogCallback that
// throws loses its line, never the supervisor.
void WarnNoThrow(const wchar_t* text) noexcept {
    try {
        Log(LogLevel::WARN, text);
    } catch (...) {
    }
}

bool HasConnection(ScanContext& context) {
    const SrwShared lock(context.ConnectionLock);
    return context.pConnection != nullptr;
}

// Takes a lost connection out of use: its receives still pending are cancelled and come back to
// the workers, who park their buffers until a new connection is up.
bool RetireLostConnection(ScanContext& context) {
    DriverConnection* pLost = nullptr;
    {
        const SrwExclusive lock(context.ConnectionLock);
        if (context.pConnection == nullptr || !context.pConnection->Lost.load()) {
            return false;
        }
        pLost = std::exchange(context.pConnection, nullptr);
    }
    pLost->Retired.store(true);
    ::CancelIoEx(pLost->hPort, nullptr);
    ReleaseConnection(pLost);
    return true;
}

// Connects to the driver again, sends it the last configuration and puts the connection in use.
HRESULT Reconnect(ScanContext& context) {
    HANDLE hPort = nullptr;
    if (const HRESULT hr = ConnectToDriver(&hPort); FAILED(hr)) {
        return hr;
    }
    DriverConnection* const pConnection = NewConnection(hPort);
    if (pConnection == nullptr) {
        ::CloseHandle(hPort);
        return E_OUTOFMEMORY;
    }
    if (::CreateIoCompletionPort(hPort, context.hCompletionPort, ConnectionKey(*pConnection), 0) == nullptr) {
        const HRESULT hr = HResultFromLastError();
        ReleaseConnection(pConnection);
        return hr;
    }
    // Under the configuration lock, so that a SetDriverConfiguration of the host cannot go out
    // between this send and the connection's coming into use, only to be overtaken by it.
    const SrwExclusive config(context.ConfigLock);
    // As at start-up, a configuration the driver refuses does not stop the client.
    SendConfigurationCommand(hPort, context.LastConfiguration);
    const SrwExclusive lock(context.ConnectionLock);
    context.pConnection = pConnection;
    return S_OK;
}

// When the supervisor acts next.
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
DWORD Supervise(ScanContext& context, SupervisorState& state) {
    const std::uint64_t now = ::GetTickCount64();
    if (RetireLostConnection(context)) {
        WarnNoThrow(kWarnConnectionLost);
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
        WarnNoThrow(kWarnConnectionRestored);
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

DriverConnection* NewConnection(HANDLE hPort) {
    auto* const pConnection = new (std::nothrow) DriverConnection{};
    if (pConnection != nullptr) {
        pConnection->hPort = hPort;
        pConnection->References.store(1);
    }
    return pConnection;
}

void AddConnectionReference(DriverConnection& connection) { connection.References.fetch_add(1); }

HRESULT ReleaseConnection(DriverConnection* pConnection) {
    if (pConnection == nullptr || pConnection->References.fetch_sub(1) != 1) {
        return S_OK;
    }
    const HRESULT hr = ::CloseHandle(pConnection->hPort) ? S_OK : HResultFromLastError();
    delete pConnection;
    return hr;
}

ULONG_PTR ConnectionKey(DriverConnection& connection) { return reinterpret_cast<ULONG_PTR>(&connection); }

// The key is the record's address, handed back by the completion port unchanged.
DriverConnection* ConnectionFromKey(ULONG_PTR key) { return std::bit_cast<DriverConnection*>(key); }

DriverConnection* AcquireConnection(ScanContext& context) {
    const SrwShared lock(context.ConnectionLock);
    DriverConnection* const pConnection = context.pConnection;
    if (pConnection == nullptr || pConnection->Lost.load()) {
        return nullptr;
    }
    AddConnectionReference(*pConnection);
    return pConnection;
}

void MarkConnectionLost(ScanContext& context, DriverConnection& connection) {
    if (!connection.Lost.exchange(true)) {
        ::SetEvent(context.hWakeEvent);
    }
}

void WarnRateLimited(ScanContext& context, RateLimitedWarning kind, const wchar_t* text) noexcept {
    std::atomic<std::uint64_t>& next = context.NextWarningTick[static_cast<std::uint32_t>(kind)];
    const std::uint64_t now = ::GetTickCount64();
    std::uint64_t due = next.load();
    // Of the threads that find one due, only the one that moves the next tick on logs it.
    if (now >= due && next.compare_exchange_strong(due, now + kWarningIntervalMs)) {
        WarnNoThrow(text);
    }
}

BOOL ConfigureDriver(ScanContext& context, const wchar_t* config_text, std::uint32_t config_value1,
                     std::uint32_t config_value2) {
    const ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    const SrwExclusive config(context.ConfigLock);
    context.LastConfiguration = message;
    DriverConnection* const pConnection = AcquireConnection(context);
    if (pConnection == nullptr) {
        return FALSE;  // remembered: the driver gets it when the connection is back
    }
    const HRESULT hr = SendConfigurationCommand(pConnection->hPort, message);
    if (IsConnectionLost(hr)) {
        MarkConnectionLost(context, *pConnection);
    }
    ReleaseConnection(pConnection);
    return hr == S_OK ? TRUE : FALSE;
}

DWORD WINAPI SuperviseConnection(LPVOID parameter) {
    ScanContext& context = *static_cast<ScanContext*>(parameter);
    SupervisorState state;
    const HANDLE events[] = {context.hStopEvent, context.hWakeEvent};
    DWORD timeout = INFINITE;
    for (;;) {
        const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, timeout);
        if ((woke != WAIT_OBJECT_0 + 1 && woke != WAIT_TIMEOUT) || context.ShutDown.load()) {
            return 0;  // stopped; a failed wait leaves nothing to wait with either
        }
        timeout = Supervise(context, state);
    }
}

}  // namespace varnok
