/*
 * The driver simulator: a stand-in for the Filter Manager user-mode library (fltlib.dll) and for
 * the minifilter driver behind the port "\VarnokScanPort", for tests and demos without a driver.
 * Never shipped.
 *
 * It exports the four Filter Manager calls the library uses, with their real signatures, and the
 * control functions below, which a test or a host developer calls in the same process:
 *   - receives are overlapped reads on a message-mode named pipe, so they complete on the
 *     caller's completion port and CancelIoEx on the port handle cancels them (a receive without
 *     an OVERLAPPED is refused with E_INVALIDARG);
 *   - replies and commands are recorded in order with their exact bytes and lengths.
 *
 * Under Wine the simulator is loaded in place of Wine's own fltlib.dll when it sits beside the
 * program and WINEDLLOVERRIDES holds "fltlib=n".
 */
#ifndef VARNOK_DRIVER_SIM_H
#define VARNOK_DRIVER_SIM_H

#include <windows.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The simulator's interface follows the Windows SDK's C style, as fltlib.dll's own does.
 * NOLINTBEGIN(readability-identifier-naming) */

#ifdef VARNOK_DRIVER_SIM_BUILDING
#define SIM_API __declspec(dllexport)
#else
#define SIM_API __declspec(dllimport)
#endif

/* The Filter Manager's answer to a reply for a message that no longer waits for one. */
#define SIM_ERROR_FLT_NO_WAITER_FOR_REPLY ((HRESULT)0x801F0020L)

/* The size of the driver's notification body (ScanNotification); no notification is longer. */
#define SIM_NOTIFICATION_MAX_BODY 65568u

/* What the library sent, as the simulated driver received it. */
typedef enum SimTrafficKind { SIM_TRAFFIC_REPLY = 1, SIM_TRAFFIC_COMMAND = 2 } SimTrafficKind;

typedef struct SimTraffic {
    uint32_t Kind;       /* SimTrafficKind */
    uint32_t Length;     /* the length the library passed */
    HRESULT Result;      /* what the simulated port answered */
    uint8_t Bytes[4096]; /* the first min(Length, 4096) bytes */
} SimTraffic;

/* Creates the port "\VarnokScanPort" (HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when it exists).
 * Until then, and after SimClosePort, connecting fails with HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
 *
 * The port takes one connection at a time: while the library still holds the handle of the last
 * connection, another connect fails with HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT). Once it
 * has closed that handle, the next connect succeeds, and nothing posted to the earlier connection
 * reaches the new one. A failed connect writes INVALID_HANDLE_VALUE to *hPort. The connection
 * context must be the library's: 4 bytes holding 1 (else E_INVALIDARG). */
SIM_API HRESULT SimCreatePort(void);

/* Closes the port and drops the connection: receives still pending complete with
 * ERROR_PIPE_NOT_CONNECTED, and receives, replies and commands on the old handle fail with E_HANDLE,
 * as after the driver disconnects the port. */
SIM_API void SimClosePort(void);

/* Plays a driver restart that keeps its port: the connection drops as with SimClosePort (pending
 * receives complete with ERROR_PIPE_NOT_CONNECTED, calls on the old handle fail with E_HANDLE, posts
 * fail until the next connection), and the client may connect again at once. */
SIM_API void SimDropConnection(void);

/* Sends one notification to the connected client: a FILTER_MESSAGE_HEADER with reply_length and
 * a fresh MessageId, then body_length bytes of body (at most a whole ScanNotification; less makes
 * a short message). A MessageId posted with reply_length 0 waits for no reply. Blocks until the
 * pipe takes it, at most timeout_ms. The MessageId is written to *message_id when it is not null.
 * MessageIds increase from 1 over the life of the process. Fails with
 * HRESULT_FROM_WIN32(ERROR_PIPE_NOT_CONNECTED) without a connection, ERROR_TIMEOUT when the client
 * did not read in time, and ERROR_NO_DATA or ERROR_BROKEN_PIPE when it closed its handle. */
SIM_API HRESULT SimPostNotification(const void* body, uint32_t body_length, uint32_t reply_length, uint64_t* message_id,
                                    uint32_t timeout_ms);

/* Waits until at least `replies` replies and `commands` commands have been recorded since the last
 * SimResetTraffic, at most timeout_ms. Returns TRUE when they have. */
SIM_API BOOL SimWaitForTraffic(uint32_t replies, uint32_t commands, uint32_t timeout_ms);

/* The recorded traffic, in the order the library sent it. */
SIM_API uint32_t SimTrafficCount(uint32_t kind);
SIM_API BOOL SimGetTraffic(uint32_t kind, uint32_t index, SimTraffic* traffic);
SIM_API void SimResetTraffic(void);

/* Calls `observer` with each command's bytes as the driver receives it, on the sending thread, after
 * it is recorded and without any lock of the simulator held; null stops it. For measurements that
 * must see each verdict at once, as the driver would. */
typedef void (*SimCommandObserver)(const void* command, uint32_t length, void* context);
SIM_API void SimObserveCommands(SimCommandObserver observer, void* context);

/* Faults. Each applies to the next `count` calls of its kind; a count of 0 clears it. */
SIM_API void SimFailConnect(HRESULT result, uint32_t count);
SIM_API void SimRefuseReplies(uint32_t count); /* answered with SIM_ERROR_FLT_NO_WAITER_FOR_REPLY */
SIM_API void SimFailCommands(HRESULT result, uint32_t count);
SIM_API void SimImmediateReceives(uint32_t count);            /* FilterGetMessage answers S_OK, not pending */
SIM_API void SimFailReceive(HRESULT result, uint32_t after);  /* the receive after `after` more fails */
SIM_API void SimFailReceives(HRESULT result, uint32_t count); /* the next `count` receives fail */

/* Holds the next `count` receives inside FilterGetMessage, before they reach the pipe, until
 * SimReleaseHeldReceives; SimWaitForHeldReceives waits until `count` are held. */
SIM_API void SimHoldReceives(uint32_t count);
SIM_API BOOL SimWaitForHeldReceives(uint32_t count, uint32_t timeout_ms);
SIM_API void SimReleaseHeldReceives(void);

/* The number of connections made since the port was created, and whether a client is connected and
 * still holds its handle. */
SIM_API uint32_t SimConnectionCount(void);
SIM_API BOOL SimIsConnected(void);

/* The calls of FilterConnectCommunicationPort over the life of the process, whatever their result
 * (a port that does not exist and injected failures count too). */
SIM_API uint32_t SimConnectAttempts(void);

/* Waits until at least `connections` connections were made since the port was created and at least
 * `attempts` connect calls over the life of the process, at most timeout_ms. TRUE when they were. */
SIM_API BOOL SimWaitForConnections(uint32_t connections, uint32_t attempts, uint32_t timeout_ms);

/* NOLINTEND(readability-identifier-naming) */
#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VARNOK_DRIVER_SIM_H */
