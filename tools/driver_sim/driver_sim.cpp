// The driver simulator: the Filter Manager calls the library makes, answered by a simulated
// minifilter in the same process. The two meet through one message-mode named pipe per port: the
// library's port handle is the client end, so receives are genuine overlapped reads that complete on
// the library's completion port and can be cancelled with CancelIoEx; the simulated driver writes
// notifications into the server end. Replies and commands never cross the pipe; they are checked
// and recorded right here.
#include "driver_sim.h"

#include <fltuser.h>

#include "protocol.h"
#include "status.h"
#include "unique_handle.h"
#include "wire.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kMessageHeaderLength = sizeof(varnok::MessageHeader);  // FILTER_MESSAGE_HEADER on the port
constexpr DWORD kReplyHeaderLength = 16;                               // FILTER_REPLY_HEADER
constexpr std::size_t kRecordedBytes = sizeof(SimTraffic::Bytes);
// About sixteen whole notifications fit before a post has to wait for the client to read.
constexpr DWORD kPipeOutboundBytes = 1024 * 1024;
// The client never writes into the pipe.
constexpr DWORD kPipeInboundBytes = 4096;
constexpr DWORD kConnectionContext = 1;

static_assert(sizeof(FILTER_MESSAGE_HEADER) == kMessageHeaderLength);
static_assert(sizeof(FILTER_REPLY_HEADER) == kReplyHeaderLength);
static_assert(offsetof(FILTER_MESSAGE_HEADER, MessageId) == 8);
static_assert(offsetof(FILTER_REPLY_HEADER, MessageId) == 8);
// The C header of the simulator states the body's size for its callers; it is the library's layout.
static_assert(SIM_NOTIFICATION_MAX_BODY == sizeof(varnok::ScanNotification));

using OwnedHandle = varnok::UniqueHandle;

// One reply or command as the simulated driver received it.
struct TrafficRecord {
    uint32_t length = 0;
    HRESULT result = S_OK;
    std::vector<uint8_t> bytes;  // the first min(length, kRecordedBytes) bytes
};

// An injected failure for the next `remaining` calls of one kind.
struct Fault {
    HRESULT result = S_OK;
    uint32_t remaining = 0;
};

bool TakeFault(Fault& fault, HRESULT* result) {
    if (fault.remaining == 0) {
        return false;
    }
    --fault.remaining;
    *result = fault.result;
    return true;
}

struct SimState {
    // Serializes creating, closing and connecting the port, which may wait for pending posts.
    // Taken before `mutex`, never after it.
    std::mutex control_mutex;
    std::mutex mutex;  // guards everything below
    std::condition_variable traffic_recorded;
    std::condition_variable posts_drained;

    bool port_open = false;
    uint32_t port_generation = 0;
    std::wstring pipe_name;
    OwnedHandle server;

    // The library's end of the live connection. The library owns and closes it; the simulator only
    // learns of the close when it looks at the server end.
    bool connected = false;
    HANDLE client = nullptr;
    uint32_t connection_count = 0;
    uint32_t posts_in_flight = 0;

    // Never reset, so a reply meant for a notification of an earlier connection cannot match one of
    // a later connection.
    uint64_t last_message_id = 0;
    std::unordered_set<uint64_t> awaiting_reply;

    std::vector<TrafficRecord> replies;
    std::vector<TrafficRecord> commands;

    Fault connect_fault;
    // Calls of FilterConnectCommunicationPort over the life of the process, whatever their result.
    uint32_t connect_attempts = 0;
    std::condition_variable connects_changed;
    Fault reply_fault;
    Fault command_fault;
    uint32_t immediate_receives = 0;

    // Receives that fail after `receives_before_failure` more receives went out.
    Fault receive_fault;
    uint32_t receives_before_failure = 0;

    // Receives held before they reach the pipe, so a test can act while a worker is between its
    // decision to receive again and the request itself.
    std::condition_variable holds_changed;
    uint32_t receives_to_hold = 0;
    uint32_t receives_held = 0;
    uint64_t hold_release_generation = 0;
};

SimState& State() {
    static SimState state;
    return state;
}

void HoldReceiveIfAsked(SimState& state) {
    std::unique_lock lock(state.mutex);
    if (state.receives_to_hold == 0) {
        return;
    }
    --state.receives_to_hold;
    ++state.receives_held;
    const uint64_t generation = state.hold_release_generation;
    state.holds_changed.notify_all();
    state.holds_changed.wait(lock, [&] { return state.hold_release_generation != generation; });
    --state.receives_held;
}

HRESULT LastErrorResult() { return HRESULT_FROM_WIN32(::GetLastError()); }

// Runs an exported call so that no exception crosses the DLL boundary.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    return varnok::WithoutExceptions(std::forward<Body>(body), E_UNEXPECTED);
}

bool IsExpectedContext(LPCVOID p_context, WORD context_size) {
    if (p_context == nullptr || context_size != sizeof(kConnectionContext)) {
        return false;
    }
    DWORD value = 0;
    std::memcpy(&value, p_context, sizeof(value));
    return value == kConnectionContext;
}

// Whether the library still holds its end: once it closed it, peeking at the server end fails.
// (Wine leaves the last error unset in that case, so only the result is looked at.)
bool ClientHoldsPort(const SimState& state) {
    DWORD available = 0;
    return ::PeekNamedPipe(state.server.Get(), nullptr, 0, nullptr, &available, nullptr) != FALSE;
}

// Ends the current connection, if any: later replies and commands on its handle fail, posts still
// waiting are cancelled, and whatever the client left unread is discarded, so that none of it
// reaches a later connection. Called with `lock` held on state.mutex and control_mutex taken.
void DropConnection(SimState& state, std::unique_lock<std::mutex>& lock) {
    state.connected = false;
    state.client = nullptr;
    state.awaiting_reply.clear();
    if (state.posts_in_flight > 0) {
        ::CancelIoEx(state.server.Get(), nullptr);
        state.posts_drained.wait(lock, [&state] { return state.posts_in_flight == 0; });
    }
    // Pending receives of the client complete with ERROR_PIPE_NOT_CONNECTED. Fails harmlessly when
    // the server end is merely listening.
    ::DisconnectNamedPipe(state.server.Get());
}

// Waits for an overlapped operation on the server end, cancelling it when the time is up. Returns
// the Win32 result; the OVERLAPPED is no longer in use when it returns.
DWORD FinishServerIo(HANDLE server, OVERLAPPED& ovlp, DWORD timeout_ms) {
    bool timed_out = false;
    if (::WaitForSingleObject(ovlp.hEvent, timeout_ms) != WAIT_OBJECT_0) {
        timed_out = true;
        ::CancelIoEx(server, &ovlp);
    }
    DWORD transferred = 0;
    if (::GetOverlappedResult(server, &ovlp, &transferred, TRUE)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    return timed_out && error == ERROR_OPERATION_ABORTED ? static_cast<DWORD>(ERROR_TIMEOUT) : error;
}

HRESULT Connect(LPCWSTR port_name, DWORD options, LPCVOID context, WORD size_of_context,
                LPSECURITY_ATTRIBUTES security_attributes, HANDLE* p_port) {
    SimState& state = State();
    std::lock_guard control(state.control_mutex);
    std::unique_lock lock(state.mutex);
    ++state.connect_attempts;
    state.connects_changed.notify_all();

    HRESULT fault = S_OK;
    if (TakeFault(state.connect_fault, &fault)) {
        return fault;
    }
    if (port_name == nullptr || !state.port_open ||
        ::CompareStringOrdinal(port_name, -1, varnok::kScanPortName, -1, TRUE) != CSTR_EQUAL) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    // Only overlapped port handles are served; the driver accepts only the library's context.
    if (options != 0 || !IsExpectedContext(context, size_of_context)) {
        return E_INVALIDARG;
    }
    // The driver takes one connection at a time.
    if (state.connected && ClientHoldsPort(state)) {
        return HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT);
    }
    DropConnection(state, lock);

    // The server end listens before the client opens its end, so the open cannot meet a busy pipe.
    const HANDLE server = state.server.Get();
    OwnedHandle listened(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!listened.IsValid()) {
        return LastErrorResult();
    }
    OVERLAPPED listen{};
    listen.hEvent = listened.Get();
    if (!::ConnectNamedPipe(server, &listen) && ::GetLastError() != ERROR_IO_PENDING) {
        return LastErrorResult();
    }

    OwnedHandle client(::CreateFileW(state.pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security_attributes,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    const DWORD open_error = client.IsValid() ? static_cast<DWORD>(ERROR_SUCCESS) : ::GetLastError();
    // Without a client the listen never completes on its own: bound it by cancelling at once.
    const DWORD listen_error = FinishServerIo(server, listen, client.IsValid() ? INFINITE : 0);
    if (open_error != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(open_error);
    }
    DWORD read_mode = PIPE_READMODE_MESSAGE;
    if (listen_error != ERROR_SUCCESS || !::SetNamedPipeHandleState(client.Get(), &read_mode, nullptr, nullptr)) {
        const HRESULT result = HRESULT_FROM_WIN32(listen_error != ERROR_SUCCESS ? listen_error : ::GetLastError());
        client.Reset();
        ::DisconnectNamedPipe(server);
        return result;
    }

    state.client = client.Release();
    state.connected = true;
    ++state.connection_count;
    state.connects_changed.notify_all();
    *p_port = state.client;
    return S_OK;
}

HRESULT Post(const void* body, uint32_t body_length, uint32_t reply_length, uint64_t* message_id, uint32_t timeout_ms) {
    if (body_length > SIM_NOTIFICATION_MAX_BODY || (body == nullptr && body_length != 0)) {
        return E_INVALIDARG;
    }
    std::vector<std::byte> message(kMessageHeaderLength + body_length);
    if (body_length != 0) {
        std::memcpy(message.data() + kMessageHeaderLength, body, body_length);
    }
    OwnedHandle written(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!written.IsValid()) {
        return LastErrorResult();
    }
    OVERLAPPED ovlp{};
    ovlp.hEvent = written.Get();

    SimState& state = State();
    std::unique_lock lock(state.mutex);
    if (!state.connected) {
        return HRESULT_FROM_WIN32(ERROR_PIPE_NOT_CONNECTED);
    }
    // Numbered and written under the lock, so MessageIds reach the pipe in increasing order, and
    // registered before the write, so the client's reply can never arrive first.
    const uint64_t id = ++state.last_message_id;
    std::memcpy(message.data(), &reply_length, sizeof(reply_length));
    std::memcpy(message.data() + offsetof(FILTER_MESSAGE_HEADER, MessageId), &id, sizeof(id));
    if (reply_length > 0) {
        state.awaiting_reply.insert(id);
    }
    const HANDLE server = state.server.Get();
    DWORD error = ERROR_SUCCESS;
    if (!::WriteFile(server, message.data(), static_cast<DWORD>(message.size()), nullptr, &ovlp)) {
        error = ::GetLastError();
    }
    if (error == ERROR_IO_PENDING) {
        // The pipe is full: wait for the client to read, without holding up everyone else. The
        // server end stays open while a post is in flight.
        ++state.posts_in_flight;
        lock.unlock();
        error = FinishServerIo(server, ovlp, timeout_ms);
        lock.lock();
        if (--state.posts_in_flight == 0) {
            state.posts_drained.notify_all();
        }
    }
    if (error != ERROR_SUCCESS) {
        state.awaiting_reply.erase(id);
        return HRESULT_FROM_WIN32(error);
    }
    if (message_id != nullptr) {
        *message_id = id;
    }
    return S_OK;
}

TrafficRecord MakeRecord(const void* bytes_in, DWORD length) {
    TrafficRecord record;
    record.length = length;
    if (bytes_in != nullptr) {
        const auto* first_byte = static_cast<const uint8_t*>(bytes_in);
        record.bytes.assign(first_byte, first_byte + (length < kRecordedBytes ? length : kRecordedBytes));
    }
    return record;
}

bool IsLiveConnection(const SimState& state, HANDLE port) {
    return state.connected && port != nullptr && port == state.client;
}

HRESULT Reply(HANDLE port, const void* reply, DWORD length) {
    TrafficRecord record = MakeRecord(reply, length);
    SimState& state = State();
    std::lock_guard lock(state.mutex);
    if (!IsLiveConnection(state, port)) {
        return E_HANDLE;
    }
    if (reply == nullptr || length < kReplyHeaderLength) {
        record.result = E_INVALIDARG;
    } else {
        uint64_t id = 0;
        std::memcpy(&id, static_cast<const std::byte*>(reply) + offsetof(FILTER_REPLY_HEADER, MessageId), sizeof(id));
        // A refused reply finds the driver given up on the message: it waits no longer either way.
        const bool was_awaited = state.awaiting_reply.erase(id) != 0;
        record.result = SIM_ERROR_FLT_NO_WAITER_FOR_REPLY;
        if (!TakeFault(state.reply_fault, &record.result) && was_awaited) {
            record.result = S_OK;
        }
    }
    const HRESULT result = record.result;
    state.replies.push_back(std::move(record));
    state.traffic_recorded.notify_all();
    return result;
}

// Who is told of each command, with its context; set by SimObserveCommands.
std::atomic<SimCommandObserver> g_command_observer{nullptr};
std::atomic<void*> g_command_observer_context{nullptr};

HRESULT Send(HANDLE port, const void* command, DWORD length, LPDWORD bytes_returned) {
    if (bytes_returned != nullptr) {
        *bytes_returned = 0;  // the driver answers no command with data
    }
    TrafficRecord record = MakeRecord(command, length);
    SimState& state = State();
    HRESULT result = S_OK;
    {
        std::lock_guard lock(state.mutex);
        if (!IsLiveConnection(state, port)) {
            return E_HANDLE;
        }
        if (command == nullptr || length == 0 || bytes_returned == nullptr) {
            record.result = E_INVALIDARG;
        } else if (!TakeFault(state.command_fault, &record.result)) {
            record.result = S_OK;
        }
        result = record.result;
        state.commands.push_back(std::move(record));
        state.traffic_recorded.notify_all();
    }
    if (const SimCommandObserver observer = g_command_observer.load(); observer != nullptr && result == S_OK) {
        observer(command, length, g_command_observer_context.load());
    }
    return result;
}

std::vector<TrafficRecord>* TrafficOfKind(SimState& state, uint32_t kind) {
    switch (kind) {
        case SIM_TRAFFIC_REPLY:
            return &state.replies;
        case SIM_TRAFFIC_COMMAND:
            return &state.commands;
        default:
            return nullptr;
    }
}

}  // namespace

extern "C" {

HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR port_name, DWORD options, LPCVOID context, WORD size_of_context,
                                              LPSECURITY_ATTRIBUTES security_attributes, HANDLE* port) {
    if (port == nullptr) {
        return E_POINTER;
    }
    // A failed connect leaves no usable handle behind.
    *port = INVALID_HANDLE_VALUE;
    return Guarded([&] { return Connect(port_name, options, context, size_of_context, security_attributes, port); });
}

HRESULT WINAPI FilterGetMessage(HANDLE port, PFILTER_MESSAGE_HEADER message_buffer, DWORD message_buffer_size,
                                LPOVERLAPPED overlapped) {
    // Receives are served overlapped only, which is how the library receives.
    if (message_buffer == nullptr || message_buffer_size < kMessageHeaderLength || overlapped == nullptr) {
        return E_INVALIDARG;
    }
    bool answer_at_once = false;
    const HRESULT checked = Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        if (!IsLiveConnection(state, port)) {
            return E_HANDLE;
        }
        if (state.immediate_receives > 0) {
            --state.immediate_receives;
            answer_at_once = true;
        }
        if (state.receive_fault.remaining > 0) {
            if (state.receives_before_failure > 0) {
                --state.receives_before_failure;
            } else {
                HRESULT failure = S_OK;
                TakeFault(state.receive_fault, &failure);
                return failure;
            }
        }
        return S_OK;
    });
    if (FAILED(checked)) {
        return checked;
    }
    HoldReceiveIfAsked(State());
    // The completion reaches the port's completion port in every case but an immediate failure.
    if (::ReadFile(port, message_buffer, message_buffer_size, nullptr, overlapped)) {
        return S_OK;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        return answer_at_once ? S_OK : HRESULT_FROM_WIN32(ERROR_IO_PENDING);
    }
    return HRESULT_FROM_WIN32(error);
}

HRESULT WINAPI FilterReplyMessage(HANDLE port, PFILTER_REPLY_HEADER reply_buffer, DWORD reply_buffer_size) {
    return Guarded([&] { return Reply(port, reply_buffer, reply_buffer_size); });
}

HRESULT WINAPI FilterSendMessage(HANDLE port, LPVOID in_buffer, DWORD in_buffer_size, LPVOID out_buffer,
                                 DWORD out_buffer_size, LPDWORD bytes_returned) {
    (void)out_buffer;
    (void)out_buffer_size;
    return Guarded([&] { return Send(port, in_buffer, in_buffer_size, bytes_returned); });
}

void SimObserveCommands(SimCommandObserver observer, void* context) {
    g_command_observer_context.store(context);
    g_command_observer.store(observer);
}

HRESULT SimCreatePort(void) {
    return Guarded([] {
        SimState& state = State();
        std::lock_guard control(state.control_mutex);
        std::lock_guard lock(state.mutex);
        if (state.port_open) {
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        }
        // Unique per process and per port, so that parallel test processes never meet and a client
        // still holding an earlier port's end never blocks the name.
        std::wstring pipe_name = L"\\\\.\\pipe\\varnok-driver-sim-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(state.port_generation + 1);
        OwnedHandle server(::CreateNamedPipeW(
            pipe_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeOutboundBytes,
            kPipeInboundBytes, 0, nullptr));
        if (!server.IsValid()) {
            return LastErrorResult();
        }
        ++state.port_generation;
        state.pipe_name = std::move(pipe_name);
        state.server = std::move(server);
        state.port_open = true;
        state.connection_count = 0;
        return S_OK;
    });
}

void SimClosePort(void) {
    (void)Guarded([] {
        SimState& state = State();
        std::lock_guard control(state.control_mutex);
        std::unique_lock lock(state.mutex);
        if (state.port_open) {
            DropConnection(state, lock);
            state.server.Reset();
            state.port_open = false;
        }
        return S_OK;
    });
}

void SimDropConnection(void) {
    (void)Guarded([] {
        SimState& state = State();
        std::lock_guard control(state.control_mutex);
        std::unique_lock lock(state.mutex);
        if (state.connected) {
            DropConnection(state, lock);
        }
        return S_OK;
    });
}

HRESULT SimPostNotification(const void* body, uint32_t body_length, uint32_t reply_length, uint64_t* message_id,
                            uint32_t timeout_ms) {
    return Guarded([&] { return Post(body, body_length, reply_length, message_id, timeout_ms); });
}

BOOL SimWaitForTraffic(uint32_t replies, uint32_t commands, uint32_t timeout_ms) {
    const HRESULT result = Guarded([&] {
        SimState& state = State();
        std::unique_lock lock(state.mutex);
        const auto arrived = [&] { return state.replies.size() >= replies && state.commands.size() >= commands; };
        if (timeout_ms == INFINITE) {
            state.traffic_recorded.wait(lock, arrived);
            return S_OK;
        }
        return state.traffic_recorded.wait_for(lock, std::chrono::milliseconds(timeout_ms), arrived) ? S_OK : S_FALSE;
    });
    return result == S_OK ? TRUE : FALSE;
}

uint32_t SimTrafficCount(uint32_t kind) {
    uint32_t count = 0;
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        if (const std::vector<TrafficRecord>* records = TrafficOfKind(state, kind)) {
            count = static_cast<uint32_t>(records->size());
        }
        return S_OK;
    });
    return count;
}

BOOL SimGetTraffic(uint32_t kind, uint32_t index, SimTraffic* traffic) {
    if (traffic == nullptr) {
        return FALSE;
    }
    const HRESULT result = Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        const std::vector<TrafficRecord>* records = TrafficOfKind(state, kind);
        if (records == nullptr || index >= records->size()) {
            return S_FALSE;
        }
        const TrafficRecord& record = (*records)[index];
        std::memset(traffic, 0, sizeof(*traffic));
        traffic->Kind = kind;
        traffic->Length = record.length;
        traffic->Result = record.result;
        if (!record.bytes.empty()) {
            std::memcpy(traffic->Bytes, record.bytes.data(), record.bytes.size());
        }
        return S_OK;
    });
    return result == S_OK ? TRUE : FALSE;
}

void SimResetTraffic(void) {
    (void)Guarded([] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.replies.clear();
        state.commands.clear();
        return S_OK;
    });
}

void SimFailConnect(HRESULT result, uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.connect_fault = Fault{result, count};
        return S_OK;
    });
}

void SimRefuseReplies(uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.reply_fault = Fault{SIM_ERROR_FLT_NO_WAITER_FOR_REPLY, count};
        return S_OK;
    });
}

void SimFailCommands(HRESULT result, uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.command_fault = Fault{result, count};
        return S_OK;
    });
}

void SimImmediateReceives(uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.immediate_receives = count;
        return S_OK;
    });
}

void SimFailReceive(HRESULT result, uint32_t after) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.receive_fault = Fault{result, 1};
        state.receives_before_failure = after;
        return S_OK;
    });
}

void SimFailReceives(HRESULT result, uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.receive_fault = Fault{result, count};
        state.receives_before_failure = 0;
        return S_OK;
    });
}

void SimHoldReceives(uint32_t count) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.receives_to_hold = count;
        return S_OK;
    });
}

BOOL SimWaitForHeldReceives(uint32_t count, uint32_t timeout_ms) {
    const HRESULT result = Guarded([&] {
        SimState& state = State();
        std::unique_lock lock(state.mutex);
        return state.holds_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                            [&] { return state.receives_held >= count; })
                   ? S_OK
                   : S_FALSE;
    });
    return result == S_OK ? TRUE : FALSE;
}

void SimReleaseHeldReceives(void) {
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        state.receives_to_hold = 0;
        ++state.hold_release_generation;
        state.holds_changed.notify_all();
        return S_OK;
    });
}

uint32_t SimConnectionCount(void) {
    uint32_t count = 0;
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        count = state.connection_count;
        return S_OK;
    });
    return count;
}

uint32_t SimConnectAttempts(void) {
    uint32_t count = 0;
    (void)Guarded([&] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        count = state.connect_attempts;
        return S_OK;
    });
    return count;
}

BOOL SimWaitForConnections(uint32_t connections, uint32_t attempts, uint32_t timeout_ms) {
    const HRESULT result = Guarded([&] {
        SimState& state = State();
        std::unique_lock lock(state.mutex);
        return state.connects_changed.wait_for(
                   lock, std::chrono::milliseconds(timeout_ms),
                   [&] { return state.connection_count >= connections && state.connect_attempts >= attempts; })
                   ? S_OK
                   : S_FALSE;
    });
    return result == S_OK ? TRUE : FALSE;
}

BOOL SimIsConnected(void) {
    const HRESULT result = Guarded([] {
        SimState& state = State();
        std::lock_guard lock(state.mutex);
        return state.connected && ClientHoldsPort(state) ? S_OK : S_FALSE;
    });
    return result == S_OK ? TRUE : FALSE;
}

}  // extern "C"
