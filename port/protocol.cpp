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

HRESULT SendCommand(HANDLE hPort, ScanCommand& command) {
    DWORD bytes_returned = 0;
    return ::FilterSendMessage(hPort, &command, sizeof(command), nullptr, 0, &bytes_returned);
}

}  // namespace

HRESULT ConnectToDriver(HANDLE* phPort) {
    DWORD connectionCtx = 1;
    const HRESULT hr =
        ::FilterConnectCommunicationPort(kScanPortName, 0, &connectionCtx, sizeof(connectionCtx), nullptr, phPort);
    if (FAILED(hr)) {
        *phPort = nullptr;
    }
    return hr;
}

HRESULT QueueReceive(HANDLE hPort, ScanMessage* pMessage) {
    return ::FilterGetMessage(hPort, reinterpret_cast<PFILTER_MESSAGE_HEADER>(pMessage), kScanMessageReceiveLength,
                              MessageOverlapped(pMessage));
}

ScanMessage* MessageFromOverlapped(OVERLAPPED* pOvlp) {
    return reinterpret_cast<ScanMessage*>(reinterpret_cast<std::byte*>(pOvlp) - offsetof(ScanMessage, Ovlp));
}

OVERLAPPED* MessageOverlapped(ScanMessage* pMessage) { return reinterpret_cast<OVERLAPPED*>(pMessage->Ovlp); }

HRESULT SendScanReply(HANDLE hPort, const ScanMessage& message, DWORD thread_id) {
    ScanReply replyMsg = BuildScanReply(message.Header.MessageId, thread_id);
    return ::FilterReplyMessage(hPort, reinterpret_cast<PFILTER_REPLY_HEADER>(&replyMsg), sizeof(replyMsg));
}

HRESULT SendScanResult(HANDLE hPort, std::int32_t verdict, std::uint64_t event_id, std::uint32_t thread_id) {
    ScanCommand response_message = BuildScanResultCommand(verdict, event_id, thread_id);
    return SendCommand(hPort, response_message);
}

HRESULT SendDriverConfiguration(HANDLE hPort, const wchar_t* config_text, std::uint32_t config_value1,
                                std::uint32_t config_value2) {
    ScanCommand message = BuildConfigurationCommand(config_text, config_value1, config_value2);
    return SendCommand(hPort, message);
}

HRESULT SendConfigurationCommand(HANDLE hPort, const ScanCommand& message) {
    ScanCommand copy = message;  // FilterSendMessage takes its input through a non-const pointer
    return SendCommand(hPort, copy);
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
