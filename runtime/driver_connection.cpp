// The references of a connection to the driver: the first made with the connection, the last
// closing its port.
#include "driver_connection.h"

#include <new>

#include "trace.h"

namespace varnok {

ConnectionRef ConnectionRef::New(HANDLE port) {
    ConnectionRef made;
    made.connection_ = new (std::nothrow) DriverConnection{};
    if (made.connection_ != nullptr) {
        made.connection_->port = port;
    }
    return made;
}

HResult ConnectionRef::Reset() {
    DriverConnection* const connection = std::exchange(connection_, nullptr);
    if (connection == nullptr || connection->references.fetch_sub(1) != 1) {
        return kSOk;
    }
    HResult closed = kSOk;
    if (!::CloseHandle(connection->port)) {
        closed = HResultFromWin32(::GetLastError());
        Trace(L"the driver's port did not close: ", TraceHex{static_cast<std::uint32_t>(closed)});
    }
    delete connection;
    return closed;
}

}  // namespace varnok
