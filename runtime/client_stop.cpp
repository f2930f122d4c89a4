// The one stop path of the client: every thread ended, every worker's call cancelled until it has.
#include "client_stop.h"

#include <array>
#include <cstdint>

#include "blocking_call.h"
#include "srw_lock.h"
#include "worker_pool.h"

namespace varnok {
namespace {

enum class ThreadEnd { kRuns, kTerminated, kStuck };

// How often the stop cancels the file calls of a worker that has not ended yet.
constexpr DWORD kStopCancelPeriodMs = 50;

// A thread that never ran is resumed so that it ends by itself, or else terminated. When neither
// works it stays suspended for good: it never runs, and nobody may wait for it.
ThreadEnd ResumeToEnd(HANDLE thread, DWORD exit_code) {
    if (::ResumeThread(thread) != static_cast<DWORD>(-1)) {
        return ThreadEnd::kRuns;
    }
    return ::TerminateThread(thread, exit_code) ? ThreadEnd::kTerminated : ThreadEnd::kStuck;
}

// Waits for every worker that can end. A worker in one of the library's file calls that another
// process holds up is not waited for indefinitely: its waits end at once, and the call of every
// worker still running is cancelled, now and again each period until all have ended. Every one:
// a worker waiting at a file's gate in this process may be queued behind another worker's call, so
// cancelling only the call of the worker waited for could wait for ever. A worker in a host's
// callback is waited for.
void EndWorkers(RunningClient& client, const StartProgress& progress, const bool (&can_end)[kScanThreadCount]) {
    for (WorkerThread& worker : client.workers) {
        worker.watch.abandon.store(true);
    }
    std::array<WorkerThread*, kScanThreadCount> ending{};
    std::array<HANDLE, kScanThreadCount> threads{};
    DWORD count = 0;
    for (DWORD i = 0; i < progress.created; ++i) {
        if (can_end[i]) {
            ending[count] = &client.workers[i];
            threads[count++] = client.workers[i].thread.Get();
        }
    }
    DWORD waited = WAIT_TIMEOUT;
    while (count > 0 && waited == WAIT_TIMEOUT) {
        for (DWORD i = 0; i < count; ++i) {
            CancelBlockingCall(ending[i]->watch, threads[i], ~std::uint64_t{0});
        }
        waited = ::WaitForMultipleObjects(count, threads.data(), TRUE, kStopCancelPeriodMs);
    }
    for (DWORD i = 0; i < count; ++i) {
        if (waited == WAIT_FAILED) {
            // Nothing to wait with for all at once: one at a time, each still cancelled.
            while (::WaitForSingleObject(threads[i], kStopCancelPeriodMs) == WAIT_TIMEOUT) {
                CancelBlockingCall(ending[i]->watch, threads[i], ~std::uint64_t{0});
            }
        }
        TraceWorkerExit(*ending[i]);
    }
}

}  // namespace

// The supervisor goes first, so that it puts no parked buffer back into circulation. Workers still
// suspended are resumed with the shutdown flag set. Before the worker table is ready a worker finds
// no record and ends at once; after it, each worker is ended by a buffer leaving circulation (a
// cancelled receive, or a parked buffer freed here and replaced by a wake-up packet) or, when it
// has no buffer to take, by a wake-up packet of its own.
HResult StopClient(RunningClient& client, const StartProgress& progress) {
    client.shut_down.store(true);
    if (client.supervisor) {
        ::SetEvent(client.stop_event.Get());
        if (progress.supervisor_resumed || ResumeToEnd(client.supervisor.Get(), 0) != ThreadEnd::kStuck) {
            ::WaitForSingleObject(client.supervisor.Get(), INFINITE);  // it ends at once, between two steps
        }
    }

    bool can_end[kScanThreadCount] = {};
    DWORD running = progress.resumed;
    for (DWORD i = 0; i < progress.created; ++i) {
        if (i < progress.resumed) {
            can_end[i] = true;
            continue;
        }
        const ThreadEnd end = ResumeToEnd(client.workers[i].thread.Get(), static_cast<DWORD>(kEFail));
        can_end[i] = end != ThreadEnd::kStuck;
        running += end == ThreadEnd::kRuns ? 1 : 0;
    }
    if (client.workers_ready.load()) {
        const DWORD parked = FreeParkedBuffers(client);
        {
            const SrwShared lock(client.connection_lock);
            if (client.connection) {
                ::CancelIoEx(client.connection->port, nullptr);
            }
        }
        WakeWorkers(client, running - progress.queued + parked);
    }
    bool abort_can_end = progress.abort_resumed;
    if (client.abort_thread && !progress.abort_resumed) {
        abort_can_end = ResumeToEnd(client.abort_thread.Get(), 0) != ThreadEnd::kStuck;
    }

    EndWorkers(client, progress, can_end);
    if (abort_can_end) {
        ::WaitForSingleObject(client.abort_thread.Get(), INFINITE);
    }

    HResult hr = client.connection.Reset();
    if (!client.completion_port_closed) {
        if (const HResult completion_hr = client.completion_port.Close(); completion_hr != kSOk) {
            hr = completion_hr;
        }
    }
    return hr;
}

}  // namespace varnok
