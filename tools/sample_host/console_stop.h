// Ctrl+C, Ctrl+Break or closing the console window ask the program to stop: its main thread waits
// on the stop event (or checks it between steps) and stops the library itself, never from the
// handler. Closing the window ends the process when the handler returns, so the handler then waits,
// for a bounded time, until the program says the library is stopped.
#pragma once

#include <windows.h>

#include "unique_handle.h"

namespace sample_host {

// Owns the two events; the console's handler thread sets one and waits on the other, the main
// thread does the opposite. One per process, installed around the library's life.
struct ConsoleStop {
    varnok::UniqueHandle stop;     // set by the handler
    varnok::UniqueHandle stopped;  // set by the main thread once the library is stopped
};

// Creates the events and installs the handler. False, with GetLastError set, when an event could
// not be created.
bool InstallConsoleStop(ConsoleStop& console_stop);

// Says the library is stopped and removes the handler.
void RemoveConsoleStop(ConsoleStop& console_stop);

}  // namespace sample_host
