// The one stop path of the client: for a client that runs, and for a start-up that failed halfway.
// It ends every thread that can end and waits for it, with the host's callbacks under way; what the
// client owns is freed by its destructor after.
#pragma once

#include <windows.h>

#include "running_client.h"
#include "status.h"

namespace varnok {

// How far a start-up got. A client that runs has got all the way; the stop path reads this to know
// which threads can end and how many workers hold no buffer.
struct StartProgress {
    DWORD created = 0;  // workers created, in table order
    DWORD resumed = 0;  // workers resumed, in table order
    DWORD queued = 0;   // receives queued: the buffers in circulation
    bool abort_resumed = false;
    bool supervisor_resumed = false;
};

// A client that runs got all the way through its start-up.
inline constexpr StartProgress kRunning{kScanThreadCount, kScanThreadCount, kScanThreadCount, true, true};

// Stops the client as far as it got. The result is that of a failed close of the port or, before
// it, of the completion port.
HResult StopClient(RunningClient& client, const StartProgress& progress);

}  // namespace varnok
