// The library's link to the driver: the connection in use, how a lost one is noticed, and the
// supervisor thread that connects again when the driver comes back.
#pragma once

#include <windows.h>

#include <cstdint>

#include "running_client.h"

namespace varnok {

// How soon the supervisor tries again: to connect, from the first delay doubling to the last; to
// queue parked buffers after a failure that will pass, likewise.
inline constexpr DWORD kFirstReconnectDelayMs = 100;
inline constexpr DWORD kMaxReconnectDelayMs = 5000;
inline constexpr DWORD kFirstRequeueDelayMs = 10;
inline constexpr DWORD kMaxRequeueDelayMs = 1000;
// At most one warning of each rate-limited kind in this time.
inline constexpr std::uint64_t kWarningIntervalMs = 30000;

// Whether a port call's result says that the connection itself is gone (the driver closed its port
// or went away), as opposed to a failure of that one call. The Filter Manager reports a closed
// connection as an invalid handle; a pipe-based port as a pipe that is no longer connected.
bool IsConnectionLost(HResult hr);

// The connection in use, with a reference for the caller; empty while the driver is away or once
// its loss is known.
ConnectionRef AcquireConnection(RunningClient& client);

// Notes that the connection is gone: the first to notice logs it and wakes the supervisor.
void MarkConnectionLost(RunningClient& client, DriverConnection& connection);

// Logs a warning unless one of its kind went out less than kWarningIntervalMs ago.
void WarnRateLimited(RunningClient& client, RateLimitedWarning kind, const wchar_t* text) noexcept;

// SetDriverConfiguration while the client runs: remembers the configuration for later
// reconnections and sends it when connected. 1 when the driver took it, else 0.
BOOL ConfigureDriver(RunningClient& client, const wchar_t* config_text, std::uint32_t config_value1,
                     std::uint32_t config_value2);

// The supervisor's thread procedure; its parameter is the RunningClient. It ends when the stop
// event is set.
DWORD WINAPI SuperviseConnection(LPVOID parameter);

}  // namespace varnok
