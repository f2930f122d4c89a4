// The library's side of the driver's port: the Filter Manager's calls, with the wire layouts.
#include "protocol.h"

#include <fltuser.h>

#include <cstring>

#include "status.h"

namespace varnok {
namespace {

static_assert(sizeof(OVERLAPPED) == sizeof(ScanMessage::Ovlp));
static_assert(sizeof(FILTER_MESSAGE_HEADER) == sizeof(MessageHeader));
static_assert(offsetof(FILTER_MESSAGE_HEADER, MessageId) == offsetof(MessageHeader, MessageId));
static_assert(offsetof(FILTER_REPLY_HEADER, MessageId) == offsetof(ScanReply, MessageId));

HResult SendCommand(HANDLE port, ScanCommand& command) {
    DWORD bytes_returned = 0;
    return ::FilterSendMessage(port, &command, sizeof(command), nullptr, 0, &bytes_returned);
}

}  // namespace

HResult ConnectToDriver(HANDLE* port) {
    DWORD connection_context = 1;
    const HResult hr = ::FilterConnectCommunicationPort(kScanPortName, 0, &connection_context,
                                                        sizeof(connection_context), nullptr, port);
    if (hr < 0) {
        *port = nullptr;
    }
    return hr;
}

HResult QueueReceive(HANDLE port, ScanMessage* message) {
    return ::FilterGetMessage(port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(message), kScanMessageReceiveLength,
                              MessageOverlapped(message));
}

ScanMessage* MessageFromOverlapped(OVERLAPPED* overlapped) {
    return reinterpret_cast<ScanMessage*>(reinterpret_cast<std::byte*>(overlapped) - offsetof(ScanMessage, Ovlp));
}

OVERLAPPED* MessageOverlapped(ScanMessage* message) { return reinterpret_cast<OVERLAPPED*>(message->Ovlp); }

HResult SendScanReply(HANDLE port, const ScanMessage& message, DWORD thread_id) {
    ScanReply reply = BuildScanReply(message.Header.MessageId, thread_id);
    return ::FilterReplyMessage(port, reinterpret_cast<PFILTER_REPLY_HEADER>(&reply), sizeof(reply));
}

HResult SendScanResult(HANDLE port, std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id) {
    ScanCommand command = BuildScanResultCommand(verdict, event_id, thread_id);
    return SendCommand(port, command);
}

HResult SendDriverConfiguration(HANDLE port, const wchar_t* config_text, std::uint32_t config_value1,
                                std::uint32_t config_value2) {
    ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    return SendCommand(port, message);
}

HResult SendConfigurationCommand(HANDLE port, const ScanCommand& message) {
    ScanCommand copy = message;  // FilterSendMessage takes its input through a non-const pointer
    return SendCommand(port, copy);
}

bool IsReceiveQueued(HResult hr) { return hr == HResultFromWin32(ERROR_IO_PENDING) || hr == kSOk; }

HeapPtr<ScanMessage> AllocateScanMessage() {
    HeapPtr<ScanMessage> message(static_cast<ScanMessage*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ScanMessage))));
    if (message) {
        std::memset(message->Ovlp, 0, sizeof(message->Ovlp));
    }
    return message;
}

}  // namespace varnok
