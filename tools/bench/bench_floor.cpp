#include "tools/bench/bench_floor.h"

#include <windows.h>

#include <functional>

#include "protocol.h"
#include "tools/bench/bench_file_work.h"
#include "tools/bench/bench_files.h"
#include "tools/bench/bench_flight.h"

namespace bench {
namespace {

constexpr std::int32_t kFloorVerdict = 1;  // what ScanAtOnce answers in the pipeline

// Queues the buffer's receive; true when its completion will come.
bool Receive(FloorClient& client, varnok::ScanMessage* message) {
    return varnok::IsReceiveQueued(varnok::QueueReceive(client.port.Get(), message));
}

void FloorWorker(FloorClient& client) {
    const DWORD thread_id = ::GetCurrentThreadId();
    std::vector<char> buffer(kStreamBufferBytes);
    for (;;) {
        DWORD transferred = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        if (!::GetQueuedCompletionStatus(client.completion_port.Get(), &transferred, &key, &overlapped, INFINITE) ||
            overlapped == nullptr) {
            return;  // the receive was cancelled: the client stops
        }
        varnok::ScanMessage* const message = varnok::MessageFromOverlapped(overlapped);
        varnok::SendScanReply(client.port.Get(), *message, thread_id);

        const wchar_t* const path = message->Notification.FileName;
        if (client.file_work) {
            DoFileWork(path, buffer);
        }
        varnok::SendScanResult(client.port.Get(), kFloorVerdict, message->Notification.EventId, thread_id);
        OnVerdict(path);

        if (!Receive(client, message)) {
            return;
        }
        if (client.stopping.load()) {
            ::CancelIoEx(client.port.Get(), overlapped);
        }
    }
}

}  // namespace

bool StartFloorClient(FloorClient& client) {
    HANDLE port = nullptr;
    if (FAILED(varnok::ConnectToDriver(&port))) {
        return false;
    }
    client.port.Reset(port);
    client.completion_port.Reset(::CreateIoCompletionPort(port, nullptr, 0, kPoolThreads));
    if (!client.completion_port) {
        return false;
    }
    for (std::uint32_t i = 0; i < kPoolThreads; ++i) {
        client.threads.emplace_back(FloorWorker, std::ref(client));
    }
    for (std::uint32_t i = 0; i < kPoolThreads; ++i) {
        varnok::HeapPtr<varnok::ScanMessage> message = varnok::AllocateScanMessage();
        if (!message || !Receive(client, message.get())) {
            return false;
        }
        client.messages.push_back(std::move(message));
    }
    return true;
}

void StopFloorClient(FloorClient& client) {
    client.stopping.store(true);
    if (client.port) {
        ::CancelIoEx(client.port.Get(), nullptr);
    }
    for (std::size_t i = client.messages.size(); i < client.threads.size(); ++i) {
        ::PostQueuedCompletionStatus(client.completion_port.Get(), 0, 0, nullptr);
    }
    for (std::thread& thread : client.threads) {
        thread.join();
    }
    client.threads.clear();
    client.completion_port.Reset();
    client.port.Reset();
    client.messages.clear();
}

}  // namespace bench
