// One connection to the driver's port, and the references that keep its handle open.
//
// Whoever uses the handle holds a reference: the client while it is the connection in use, every
// receive queued on it (its completion key carries the reference back to the worker that takes the
// completion), a worker answering one of its events, a caller sending on it. The handle is closed
// with the last reference, so no call ever meets a closed handle, nor a handle value reused by a
// later connection: the verdict for an event always goes to the connection the event came from.
#pragma once

#include <windows.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <utility>

#include "status.h"

namespace varnok {

// Touched by every thread of the client.
struct DriverConnection {
    HANDLE port = nullptr;
    std::atomic<std::uint32_t> references{1};
    std::atomic<bool> lost{false};     // a port call found the driver gone
    std::atomic<bool> retired{false};  // no longer in use: a receive queued on it cancels itself
};

class ConnectionRef {
public:
    ConnectionRef() = default;

    // A connection for a freshly connected port handle, with its first reference; empty when memory
    // ran out (the handle is then the caller's to close).
    static ConnectionRef New(HANDLE port);

    // Takes back the reference that a completion key carried for a receive (Detach).
    static ConnectionRef FromKey(ULONG_PTR key) {
        ConnectionRef taken;
        taken.connection_ = std::bit_cast<DriverConnection*>(key);
        return taken;
    }

    ConnectionRef(const ConnectionRef& other) : connection_(other.connection_) {
        if (connection_ != nullptr) {
            connection_->references.fetch_add(1);
        }
    }
    ConnectionRef& operator=(const ConnectionRef& other) {
        ConnectionRef copy(other);
        std::swap(connection_, copy.connection_);
        return *this;
    }
    ConnectionRef(ConnectionRef&& other) noexcept : connection_(std::exchange(other.connection_, nullptr)) {}
    ConnectionRef& operator=(ConnectionRef&& other) noexcept {
        ConnectionRef taken(std::move(other));
        std::swap(connection_, taken.connection_);
        return *this;
    }
    ~ConnectionRef() { Reset(); }

    [[nodiscard]] DriverConnection* operator->() const { return connection_; }
    [[nodiscard]] DriverConnection& operator*() const { return *connection_; }
    explicit operator bool() const { return connection_ != nullptr; }

    // The completion key of receives queued on the connection.
    [[nodiscard]] ULONG_PTR Key() const { return std::bit_cast<ULONG_PTR>(connection_); }

    // Hands this reference over to a receive just queued on the connection: its completion key
    // brings it back (FromKey).
    void Detach() { connection_ = nullptr; }

    // Drops the reference now. The last one closes the port handle and frees the record, and answers
    // how the close went; any other answers S_OK.
    HResult Reset();

private:
    DriverConnection* connection_ = nullptr;
};

}  // namespace varnok
