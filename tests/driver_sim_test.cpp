// The library's port calls against the driver simulator: notifications must reach the library the
// way the Filter Manager delivers them, and what the library sends must reach the driver byte for
// byte.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_sim.h"
#include "protocol.h"
#include "status.h"
#include "unique_handle.h"

namespace varnok {
namespace {

static_assert(sizeof(ScanNotification) == SIM_NOTIFICATION_MAX_BODY);

constexpr DWORD kWaitMs = 10000;
constexpr HResult kPending = HResultFromWin32(ERROR_IO_PENDING);
constexpr HResult kNotFound = HResultFromWin32(ERROR_FILE_NOT_FOUND);

struct Completion {
    BOOL ok = FALSE;
    DWORD bytes = 0;
    DWORD error = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* pOvlp = nullptr;
};

Completion AwaitCompletion(HANDLE hIocp) {
    Completion completion;
    completion.ok = ::GetQueuedCompletionStatus(hIocp, &completion.bytes, &completion.key, &completion.pOvlp, kWaitMs);
    completion.error = completion.ok ? 0 : ::GetLastError();
    return completion;
}

SimTraffic Traffic(uint32_t kind, uint32_t index) {
    SimTraffic traffic{};
    EXPECT_TRUE(SimGetTraffic(kind, index, &traffic));
    return traffic;
}

template <class T>
void PutAt(std::vector<uint8_t>& bytes, std::size_t offset, const T& value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

// A connected port on a completion port, as the library sets it up.
class DriverSimPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SimCreatePort(), S_OK);
        SimResetTraffic();
        HANDLE hConnected = nullptr;
        ASSERT_EQ(ConnectToDriver(&hConnected), S_OK);
        hPort_.Reset(hConnected);
        hIocp_.Reset(::CreateIoCompletionPort(hPort_.Get(), nullptr, 0, 0));
        ASSERT_TRUE(hIocp_);
    }
    void TearDown() override {
        hPort_.Reset();
        hIocp_.Reset();
        SimClosePort();
        SimFailConnect(S_OK, 0);
        SimRefuseReplies(0);
        SimFailCommands(S_OK, 0);
        SimImmediateReceives(0);
    }

    // Posts a file event and receives it into message_.
    uint64_t Deliver(uint64_t event_id, uint32_t reply_length) {
        ScanNotification body{};
        body.EventId = event_id;
        uint64_t id = 0;
        EXPECT_EQ(QueueReceive(hPort_.Get(), message_.get()), kPending);
        EXPECT_EQ(SimPostNotification(&body, sizeof(body), reply_length, &id, kWaitMs), S_OK);
        EXPECT_TRUE(AwaitCompletion(hIocp_.Get()).ok);
        return id;
    }

    UniqueHandle hPort_;
    UniqueHandle hIocp_;
    std::unique_ptr<ScanMessage> message_ = std::make_unique<ScanMessage>();
};

TEST_F(DriverSimPort, ReceiveCompletesOnCompletionPortWithExactMessage) {
    auto body = std::make_unique<ScanNotification>();
    body->Kind = kKindFileEvent;
    body->EventId = 0x0123456789ABCDEFull;
    body->Value2 = 7;
    for (std::uint32_t i = 0; i < kFileNameUnits; ++i) {
        body->FileName[i] = static_cast<wchar_t>(L'a' + i % 26);
    }
    body->Padding = 0xA5A5A5A5u;

    ASSERT_EQ(QueueReceive(hPort_.Get(), message_.get()), kPending);
    uint64_t id = 0;
    ASSERT_EQ(SimPostNotification(body.get(), sizeof(*body), sizeof(ScanReply), &id, kWaitMs), S_OK);
    Completion done = AwaitCompletion(hIocp_.Get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, kScanMessageReceiveLength);
    EXPECT_EQ(done.pOvlp, MessageOverlapped(message_.get()));
    EXPECT_EQ(MessageFromOverlapped(done.pOvlp), message_.get());
    EXPECT_EQ(message_->Header.ReplyLength, sizeof(ScanReply));
    EXPECT_EQ(message_->Header.Padding, 0u);
    EXPECT_EQ(message_->Header.MessageId, id);
    EXPECT_EQ(std::memcmp(&message_->Notification, body.get(), sizeof(*body)), 0);
    EXPECT_EQ(ReceivedNameUnits(done.bytes), kFileNameUnits);

    // A short message arrives at its own length, under the next, greater MessageId.
    constexpr uint32_t kShort = offsetof(ScanNotification, FileName) + 6;
    ASSERT_EQ(QueueReceive(hPort_.Get(), message_.get()), kPending);
    uint64_t next_id = 0;
    ASSERT_EQ(SimPostNotification(body.get(), kShort, 0, &next_id, kWaitMs), S_OK);
    done = AwaitCompletion(hIocp_.Get());
    ASSERT_TRUE(done.ok) << done.error;
    EXPECT_EQ(done.bytes, sizeof(MessageHeader) + kShort);  // the header counts, as the Filter Manager counts it
    EXPECT_EQ(ReceivedNameUnits(done.bytes), 3u);
    EXPECT_EQ(message_->Header.ReplyLength, 0u);
    EXPECT_GT(next_id, id);
    EXPECT_EQ(message_->Header.MessageId, next_id);

    // Cancelling the port's I/O hands the pending receive back, aborted.
    ASSERT_EQ(QueueReceive(hPort_.Get(), message_.get()), kPending);
    ASSERT_TRUE(::CancelIoEx(hPort_.Get(), nullptr));
    done = AwaitCompletion(hIocp_.Get());
    EXPECT_FALSE(done.ok);
    EXPECT_EQ(done.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(done.pOvlp, MessageOverlapped(message_.get()));
}

TEST_F(DriverSimPort, ReplyCarriesMessageIdAndThreadId) {
    const uint64_t id = Deliver(0x1111, sizeof(ScanReply));
    EXPECT_EQ(SendScanReply(hPort_.Get(), *message_, 0x2222), S_OK);

    const SimTraffic reply = Traffic(SIM_TRAFFIC_REPLY, 0);
    std::vector<uint8_t> expected(sizeof(ScanReply));
    PutAt(expected, 8, id);
    PutAt(expected, 16, uint32_t{0x2222});
    EXPECT_EQ(reply.Length, 20u);
    EXPECT_EQ(std::vector<uint8_t>(reply.Bytes, reply.Bytes + 20), expected);
}

// Commands are whole records: each byte that no field of the command covers is zero.
TEST_F(DriverSimPort, CommandsCarryOnlyTheirFields) {
    const std::array<std::int32_t, 3> verdicts = {0, 2, -7};
    const std::array<std::wstring, 3> texts = {L"C:\\Program Files\\Varnok\\rules.cfg", L"", std::wstring(1100, L'x')};
    std::vector<std::vector<uint8_t>> expected(6, std::vector<uint8_t>(2096));
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(SendScanResult(hPort_.Get(), verdicts[i], 0x8877665544332211ull + i, 600 + i), S_OK);
        PutAt(expected[i], 0, uint32_t{1});
        PutAt(expected[i], 8, 0x8877665544332211ull + i);
        PutAt(expected[i], 16, 600 + i);
        PutAt(expected[i], 32, verdicts[i]);
    }
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(SendDriverConfiguration(hPort_.Get(), texts[i].c_str(), 10 + i, 0xFFFFFFF0u + i), S_OK);
        std::vector<uint8_t>& bytes = expected[3 + i];
        PutAt(bytes, 0, uint32_t{2});
        std::memcpy(bytes.data() + 36, texts[i].c_str(), std::min<std::size_t>(texts[i].size(), 1023) * 2);
        PutAt(bytes, 2084, 10 + i);
        PutAt(bytes, 2088, 0xFFFFFFF0u + i);
    }
    for (uint32_t i = 0; i < expected.size(); ++i) {
        const SimTraffic command = Traffic(SIM_TRAFFIC_COMMAND, i);
        EXPECT_EQ(command.Length, 2096u);
        EXPECT_EQ(std::vector<uint8_t>(command.Bytes, command.Bytes + 2096), expected[i]) << "command " << i;
    }

    SimFailCommands(HResultFromWin32(ERROR_GEN_FAILURE), 1);
    EXPECT_EQ(SendDriverConfiguration(hPort_.Get(), L"a", 1, 2), HResultFromWin32(ERROR_GEN_FAILURE));
    EXPECT_EQ(SendScanResult(hPort_.Get(), 0, 1, 1), S_OK);
}

}  // namespace
}  // namespace varnok
