// The floor: a client that decides nothing. It connects, receives, acknowledges and sends its
// verdicts with the library's own port calls and receive buffers, so its port traffic is the
// library's by construction; per event it adds at most the plain file work.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "unique_handle.h"
#include "wire.h"

namespace bench {

// Its own connection, completion port, 25 receive buffers and 25 threads; per event the reply,
// optionally the file work, and a verdict of 1. The main thread starts and stops it; between the
// two its workers alone touch the buffers.
struct FloorClient {
    bool file_work = true;
    varnok::UniqueHandle port;
    varnok::UniqueHandle completion_port;
    std::vector<varnok::HeapPtr<varnok::ScanMessage>> messages;
    std::vector<std::thread> threads;
    std::atomic<bool> stopping{false};
};

bool StartFloorClient(FloorClient& client);

// Called with no event in flight: every receive is cancelled and each worker ends on one of them;
// workers of a start that queued fewer receives end on wake-up packets.
void StopFloorClient(FloorClient& client);

}  // namespace bench
