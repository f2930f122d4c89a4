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

HRESULT SendCommand(HANDLE h_port, ScanCommand& command) {
    DWORD bytes_returned = 0;
    return ::FilterSendMessage(h_port, &command, sizeof(command), nullptr, 0, &bytes_returned);
}

}  // namespace

HRESULT ConnectToDriver(HANDLE* ph_port) {
    DWORD connection_ctx = 1;
    const HRESULT hr =
        ::FilterConnectCommunicationPort(kScanPortName, 0, &connection_ctx, sizeof(connection_ctx), nullptr, ph_port);
    if (FAILED(hr)) {
        *ph_port = nullptr;
    }
    return hr;
}

HRESULT QueueReceive(HANDLE h_port, ScanMessage* p_message) {
    return ::FilterGetMessage(h_port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(p_message), kScanMessageReceiveLength,
                              MessageOverlapped(p_message));
}

ScanMessage* MessageFromOverlapped(OVERLAPPED* p_ovlp) {
    return reinterpret_cast<ScanMessage*>(reinterpret_cast<std::byte*>(p_ovlp) - offsetof(ScanMessage, Ovlp));
}

OVERLAPPED* MessageOverlapped(ScanMessage* p_message) { return reinterpret_cast<OVERLAPPED*>(p_message->Ovlp); }

HRESULT SendScanReply(HANDLE h_port, const ScanMessage& message, DWORD thread_id) {
    ScanReply reply_msg = BuildScanReply(message.Header.MessageId, thread_id);
    return ::FilterReplyMessage(h_port, reinterpret_cast<PFILTER_REPLY_HEADER>(&reply_msg), sizeof(reply_msg));
}

HRESULT SendScanResult(HANDLE h_port, std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id) {
    ScanCommand response_message = BuildScanResultCommand(verdict, event_id, thread_id);
    return SendCommand(h_port, response_message);
}

HRESULT SendDriverConfiguration(HANDLE h_port, const wchar_t* config_text, std::uint32_t config_value1,
                                std::uint32_t config_value2) {
    ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    return SendCommand(h_port, message);
}

HRESULT SendConfigurationCommand(HANDLE h_port, const ScanCommand& message) {
    ScanCommand copy = message;  // FilterSendMessage takes its input through a non-const pointer
    return SendCommand(h_port, copy);
}

bool IsReceiveQueued(HRESULT hr) { return hr == HResultFromWin32(ERROR_IO_PENDING) || hr == S_OK; }

HeapPtr<ScanMessage> AllocateScanMessage() {
    HeapPtr<ScanMessage> message(static_cast<ScanMessage*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(ScanMessage))));
    if (message) {
        std::memset(message->Ovlp, 0, sizeof(message->Ovlp));
    }
    return message;
}

}  // namespace varnok
