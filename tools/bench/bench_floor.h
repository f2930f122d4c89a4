// The floor: a client that decides nothing. It is the library's own worker pool, with its port
// calls, receive buffers, reply and verdict, given a handler that only answers: per event it adds at
// most the plain file work. So "the same loop as the library, without the decision" holds by
// construction.
#pragma once

#include "varnokclient.h"

namespace bench {

// Starts the pool on the driver's port. Each event gets its reply, the file work when `file_work`
// is set, and a verdict of 1. The pool's threads alone touch its buffers until the stop.
bool StartFloorClient(const DriverConfig& config, bool file_work);

// Called with no event in flight: the pool's one stop path ends every thread and frees everything.
bool StopFloorClient();

}  // namespace bench
