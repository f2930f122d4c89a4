// The library's side of the driver's communication port: connecting, receiving notifications,
// acknowledging them and sending commands. Every message is built in storage of the sending call,
// so several workers use the one port handle at once without a lock.
#pragma once

#include <windows.h>

#include <cstdint>

#include "status.h"
#include "unique_handle.h"
#include "wire.h"

namespace varnok {

inline constexpr wchar_t kScanPortName[] = L"\\VarnokScanPort";

// Connects to the driver's port; the handle is written to *port (null on failure).
HResult ConnectToDriver(HANDLE* port);

// Queues an overlapped receive into the buffer, with the buffer's own OVERLAPPED. Success is
// HRESULT_FROM_WIN32(ERROR_IO_PENDING); the notification then arrives on the completion port.
HResult QueueReceive(HANDLE port, ScanMessage* message);

// A receive counts as queued when it pends and also when it completed at once: the completion port
// gets its completion either way, since the port is not set to skip completions on success. Until
// that completion arrives the buffer belongs to the Filter Manager and must not be freed.
bool IsReceiveQueued(HResult hr);

// A message buffer from the process heap, not cleared but for its OVERLAPPED.
HeapPtr<ScanMessage> AllocateScanMessage();

// The buffer whose receive a completion reports, from the completion's OVERLAPPED pointer.
ScanMessage* MessageFromOverlapped(OVERLAPPED* overlapped);
OVERLAPPED* MessageOverlapped(ScanMessage* message);

// Acknowledges a file event at once: 20 bytes with its MessageId and the worker's thread id.
HResult SendScanReply(HANDLE port, const ScanMessage& message, DWORD thread_id);

// Command 1: the verdict for one event. Returns the port's HResult unchanged (0 = delivered).
HResult SendScanResult(HANDLE port, std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id);

// Command 2: the driver configuration. Returns the port's HResult unchanged.
HResult SendDriverConfiguration(HANDLE port, const wchar_t* config_text, std::uint32_t config_value1,
                                std::uint32_t config_value2);

// Command 2 as built before (BuildConfigurationCommand), sent again as it is.
HResult SendConfigurationCommand(HANDLE port, const ScanCommand& message);

}  // namespace varnok
