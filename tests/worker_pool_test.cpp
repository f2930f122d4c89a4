// The pool's shut-down and a start-up that fails halfway, seen from inside the library.
#include <windows.h>

#include <gtest/gtest.h>

#include <string_view>

#include "lifecycle.h"
#include "records.h"
#include "support/host_harness.h"
#include "tools/common/process_usage.h"
#include "trace.h"

namespace varnok::test {
namespace {

class WorkerPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
    }
    void TearDown() override {
        SimReleaseHeldReceives();
        varnok::ClientDisconnect();
        SimClosePort();
    }
    TempFolder folder_;
    const DriverConfig config_ = MakeConfig();
};

TEST_F(WorkerPoolTest, ReceiveQueuedAfterTheCancelStillEndsItsWorker) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);

    // A worker answers an event, finds the shutdown flag clear and is about to receive again...
    SimHoldReceives(1);
    PostFileEvent(folder_.File(L"plain.txt"), 1);
    ASSERT_TRUE(SimWaitForHeldReceives(1, kWaitMs));

    // ...when the shut-down sets the flag and cancels every pending receive; only then does the
    // worker's request go out.
    RunningClient& context = *g_process.client;
    context.shut_down.store(true);
    ::CancelIoEx(context.connection->port, nullptr);
    SimReleaseHeldReceives();

    for (const auto& worker : context.workers) {
        const DWORD ended = ::WaitForSingleObject(worker.thread.Get(), kWaitMs);
        EXPECT_EQ(ended, WAIT_OBJECT_0) << "a worker still waits for driver traffic";
        if (ended != WAIT_OBJECT_0) {
            ::CancelIoEx(context.connection->port, nullptr);  // let the tear-down end the stuck worker
        }
    }
    EXPECT_EQ(varnok::ClientDisconnect(), S_OK);
}

TEST_F(WorkerPoolTest, StartThatFailsWhileQueueingLeavesNothingBehind) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);  // warm up the process
    ASSERT_EQ(varnok::ClientDisconnect(), S_OK);
    const std::uintptr_t handles_before = usage::HandleSlot();

    for (const std::uint32_t queued_before_failure : {0u, 10u, 24u}) {
        SimFailReceive(E_ACCESSDENIED, queued_before_failure);
        EXPECT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), E_ACCESSDENIED);
        EXPECT_EQ(varnok::ClientDisconnect(), E_POINTER);  // nothing left to stop or free
        EXPECT_FALSE(SimIsConnected());
        EXPECT_LE(usage::HandleSlot(), handles_before);
    }

    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);
    SimResetTraffic();
    PostFileEvent(folder_.File(L"plain.txt"), 1);
    EXPECT_TRUE(SimWaitForTraffic(1, 1, kWaitMs));
}

std::atomic<bool> g_fields_whole{false};
HResult AnswerWithTheNameLength(const FileEvent& event, const VerdictSink& sink,
                                const HostCallbacks& /*host*/) noexcept {
    g_fields_whole = event.value1 == kEventValue1 && event.value2 == kEventValue2 && event.value3 == kEventValue3;
    return sink.send(sink.context, static_cast<std::int32_t>(event.file_name.size()));
}

// The pool decides nothing itself: each acknowledged event reaches the handler it was started with,
// and that handler's verdict goes to the driver as the event's.
TEST_F(WorkerPoolTest, EachEventReachesTheGivenHandlerWhoseVerdictTheDriverGets) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr, AnswerWithTheNameLength), S_OK);
    const std::wstring name = folder_.File(L"any.exe");
    PostFileEvent(name, 7);
    ASSERT_TRUE(SimWaitForTraffic(1, 2, kWaitMs));  // the reply; the configuration and the verdict
    const std::vector<ScanCommand> verdicts = Verdicts();
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_EQ(verdicts[0].EventId, 7u);
    EXPECT_EQ(verdicts[0].Verdict, static_cast<std::int32_t>(name.size()));
    EXPECT_TRUE(g_fields_whole);
}

int g_worker_traces = 0;
void CountWorkerTraces(const wchar_t* text) {
    g_worker_traces += std::wstring_view(text).starts_with(L"worker ") ? 1 : 0;
}

// The stop path runs on the caller's thread and waits for every worker before it traces its status.
TEST_F(WorkerPoolTest, DisconnectTracesEachWorkersExitStatus) {
    ASSERT_EQ(varnok::FilterInit(&config_, nullptr, nullptr, nullptr), S_OK);
    SetTraceSink(CountWorkerTraces);
    EXPECT_EQ(varnok::ClientDisconnect(), S_OK);
    SetTraceSink(nullptr);
    EXPECT_EQ(g_worker_traces, static_cast<int>(kScanThreadCount));
}

}  // namespace
}  // namespace varnok::test
