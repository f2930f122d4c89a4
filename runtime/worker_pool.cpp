// The pool of workers: each takes a notification, answers it, has it decided, and puts its buffer back.
#include "worker_pool.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "connection.h"
#include "protocol.h"
#include "scan_event.h"
#include "trace.h"

namespace varnok {
namespace {

const HResult kReceivePending = HResultFromWin32(ERROR_IO_PENDING);
const HResult kReceiveCancelled = HResultFromWin32(ERROR_OPERATION_ABORTED);

const wchar_t kWarnReplyRefused[] = L"kernel driver refused a reply";
const wchar_t kWarnReceiveFailed[] = L"could not wait for kernel driver - retrying";

// Where an event's verdict goes: the connection the event came from, under the worker's thread id.
struct EventVerdict {
    HANDLE port;
    std::uint64_t event_id;
    DWORD thread_id;
};

HResult SendEventVerdict(void* client, std::int32_t verdict) {
    const auto& target = *static_cast<const EventVerdict*>(client);
    return SendScanResult(target.port, verdict, target.event_id, target.thread_id);
}

// What a failed receive or requeue says about the connection: gone, or a failure that will pass.
void NoteReceiveFailure(RunningClient& client, DriverConnection& connection, HResult hr) {
    if (IsConnectionLost(hr)) {
        MarkConnectionLost(client, connection);
    } else {
        WarnRateLimited(client, RateLimitedWarning::kReceiveFailed, kWarnReceiveFailed);
    }
}

// Keeps the buffer for the supervisor to queue again. At shut-down it is freed instead: false.
bool ParkBuffer(RunningClient& client, HeapPtr<ScanMessage> buffer) {
    {
        const SrwExclusive lock(client.park_lock);
        // Never more than the buffers in circulation; the test only keeps a fault from writing past.
        if (!client.shut_down.load() && client.parked_count < kScanThreadCount) {
            client.parked[client.parked_count++] = std::move(buffer);
        }
    }
    if (buffer) {
        return false;  // freed on return
    }
    ::SetEvent(client.wake_event.Get());
    return true;
}

// Puts a buffer the worker holds back into circulation: queued on the connection in use, or
// parked. False when the shut-down took it out of circulation: the worker then ends.
bool Recirculate(RunningClient& client, HeapPtr<ScanMessage> buffer) {
    if (client.shut_down.load()) {
        return false;  // freed on return
    }
    if (const ConnectionRef connection = AcquireConnection(client)) {
        const HResult hr = QueueReceiveOn(client, connection, buffer);
        if (hr == kReceivePending) {
            return true;
        }
        NoteReceiveFailure(client, *connection, hr);
    }
    return ParkBuffer(client, std::move(buffer));
}

// A completed receive: only what the driver sent counts. A message too short to hold the fixed
// fields, and a notification of another kind, get no reply and no examination. A refused reply ends
// the event (it gets no verdict), never the worker.
HResult AnswerNotification(RunningClient& client, DriverConnection& connection, const ScanMessage& message,
                           DWORD received_bytes, const WorkerThread& worker) {
    const std::optional<std::size_t> name_units = ReceivedNameUnits(received_bytes);
    if (!name_units.has_value() || message.Notification.Kind != kKindFileEvent) {
        return kSOk;
    }
    const HResult hr = SendScanReply(connection.port, message, worker.thread_id);
    if (hr < 0) {
        if (IsConnectionLost(hr)) {
            MarkConnectionLost(client, connection);
        } else {
            WarnRateLimited(client, RateLimitedWarning::kReplyRefused, kWarnReplyRefused);
        }
        return hr;
    }
    EventVerdict verdict{connection.port, message.Notification.EventId, worker.thread_id};
    const ScanNotification& notification = message.Notification;
    const FileEvent event{std::wstring_view(notification.FileName, FileNameLength(notification, *name_units)),
                          notification.Value1, notification.Value2, notification.Value3};
    const HostCallbacks host{g_process.scan_callback.load(), g_process.scan_result_callback.load(), HostLog()};
    return client.handler(event, VerdictSink{&verdict, SendEventVerdict}, host, *client.record_key);
}

HResult RunScanWorker(RunningClient& client) {
    // Before the thread table is in the client no record is found: a start-up that failed before it
    // got there resumes its workers only so that they end here.
    WorkerThread* const worker = FindWorker(::GetCurrentThreadId(), client);
    if (worker == nullptr) {
        return kEFail;
    }
    WatchThisThread(&worker->watch);

    for (;;) {
        DWORD received_bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL completed =
            ::GetQueuedCompletionStatus(client.completion_port.Get(), &received_bytes, &key, &overlapped, INFINITE);
        HResult hr = completed ? kSOk : HResultFromLastError();
        if (overlapped == nullptr) {
            // A wake-up packet, or the wait itself failed: the completion port is gone.
            if (hr == HResultFromWin32(ERROR_INVALID_HANDLE) || hr == HResultFromWin32(ERROR_ABANDONED_WAIT_0)) {
                hr = kSOk;
            }
            return hr;
        }

        // The buffer is this worker's now, and with it the reference that its receive held on its
        // connection, which the completion key brings back.
        HeapPtr<ScanMessage> buffer(MessageFromOverlapped(overlapped));
        ConnectionRef connection = ConnectionRef::FromKey(key);
        if (completed) {
            hr = AnswerNotification(client, *connection, *buffer, received_bytes, *worker);
        } else if (hr != kReceiveCancelled) {
            // Cancelled receives come from the shut-down or a retired connection; anything else is
            // noted, and the buffer waits in the park, so a failure that repeats cannot spin.
            NoteReceiveFailure(client, *connection, hr);
            connection.Reset();
            if (!ParkBuffer(client, std::move(buffer))) {
                return hr;
            }
            continue;
        }
        connection.Reset();
        if (!Recirculate(client, std::move(buffer))) {
            return hr;  // at shut-down: the cancelled receive, ERROR_OPERATION_ABORTED, or the last result
        }
    }
}

}  // namespace

DWORD WINAPI ScanWorker(LPVOID parameter) {
    return static_cast<DWORD>(RunScanWorker(*static_cast<RunningClient*>(parameter)));
}

WorkerThread* FindWorker(DWORD thread_id, RunningClient& client) {
    if (!client.workers_ready.load()) {
        return nullptr;
    }
    for (WorkerThread& worker : client.workers) {
        if (worker.thread_id == thread_id) {
            return &worker;
        }
    }
    return nullptr;
}

HResult QueueReceiveOn(const RunningClient& client, const ConnectionRef& connection, HeapPtr<ScanMessage>& buffer) {
    // Taken first: once the request is out, the buffer may already be in another worker's hands.
    OVERLAPPED* const overlapped = MessageOverlapped(buffer.get());
    ConnectionRef for_the_receive = connection;
    const HResult hr = QueueReceive(connection->port, buffer.get());
    if (!IsReceiveQueued(hr)) {
        return hr;  // its reference goes; never the last, since the caller holds one
    }
    // The Filter Manager's until its completion, which hands it to a worker, with the reference.
    static_cast<void>(buffer.release());
    for_the_receive.Detach();
    // A shut-down or a retirement that began just before the request went out could not cancel it:
    // the request cancels itself, so its completion comes back and nothing waits for the driver.
    if (client.shut_down.load() || connection->retired.load()) {
        ::CancelIoEx(connection->port, overlapped);
    }
    return kReceivePending;
}

bool RequeueParkedBuffers(RunningClient& client) {
    std::array<HeapPtr<ScanMessage>, kScanThreadCount> taken_buffers;
    DWORD taken = 0;
    {
        const SrwExclusive lock(client.park_lock);
        if (client.shut_down.load()) {
            return false;  // the shut-down frees them
        }
        taken = client.parked_count;
        std::move(client.parked.begin(), client.parked.begin() + taken, taken_buffers.begin());
        client.parked_count = 0;
    }
    DWORD queued = 0;
    if (const ConnectionRef connection = AcquireConnection(client)) {
        for (; queued < taken; ++queued) {
            const HResult hr = QueueReceiveOn(client, connection, taken_buffers[queued]);
            if (hr != kReceivePending) {
                NoteReceiveFailure(client, *connection, hr);
                break;
            }
        }
    }
    // The rest go back to the park, even at shut-down: the supervisor ends before the shut-down
    // frees what is parked.
    const SrwExclusive lock(client.park_lock);
    for (DWORD i = queued; i < taken; ++i) {
        client.parked[client.parked_count++] = std::move(taken_buffers[i]);
    }
    return client.parked_count == 0;
}

DWORD ParkedBufferCount(RunningClient& client) {
    const SrwShared lock(client.park_lock);
    return client.parked_count;
}

DWORD FreeParkedBuffers(RunningClient& client) {
    const SrwExclusive lock(client.park_lock);
    const DWORD count = client.parked_count;
    for (DWORD i = 0; i < count; ++i) {
        client.parked[i].reset();
    }
    client.parked_count = 0;
    return count;
}

void WakeWorkers(RunningClient& client, DWORD count) {
    for (DWORD i = 0; i < count && !client.completion_port_closed; ++i) {
        if (!::PostQueuedCompletionStatus(client.completion_port.Get(), 0, 0, nullptr)) {
            // Every worker's wait then fails, and it ends. Buffers whose completions were still
            // queued are lost with the port, a price paid only when the system cannot post a packet.
            if (!::CloseHandle(client.completion_port.Get())) {
                Trace(L"the completion port did not close: ",
                      TraceHex{static_cast<std::uint32_t>(HResultFromLastError())});
            }
            client.completion_port_closed = true;
        }
    }
}

void CancelStuckFileCalls(RunningClient& client, std::uint64_t began_by) noexcept {
    for (WorkerThread& worker : client.workers) {
        if (worker.thread && CancelBlockingCall(worker.watch, worker.thread.Get(), began_by)) {
            Trace(L"worker ", std::to_wstring(worker.thread_id), L": a file call held up too long was cancelled");
        }
    }
}

void TraceWorkerExit(const WorkerThread& worker) noexcept {
    DWORD exit_code = 0;
    if (!::GetExitCodeThread(worker.thread.Get(), &exit_code)) {
        exit_code = static_cast<DWORD>(HResultFromLastError());
    }
    Trace(L"worker ", std::to_wstring(worker.thread_id), L" ended with ", TraceHex{exit_code});
}

}  // namespace varnok
