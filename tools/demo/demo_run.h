// The demo from start to end: the scenario, the library started on the simulated driver, one event
// at a time, the library stopped, the table and the checks.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "tools/demo/demo_driver.h"
#include "tools/sample_host/host.h"

namespace demo {

// Starts the library, sends one file event per file and waits for each verdict, stops the library
// and prints what happened as a table. Without a folder it builds a sample folder that leads to
// every decision of the library, checks each outcome and removes the folder (keeps it when
// VARNOK_DEMO_FOLDER names where to build it); with one, it sends an event for every file in it.
// Returns the exit code: 0 when every event got a verdict (for the sample folder: the expected
// verdict, scan and log lines), else 1. A set `stop` ends it early.
int RunDemo(const sample_host::ClientLibrary& library, const SimulatorApi& simulator, const DriverConfig& config,
            const std::optional<std::wstring>& folder, HANDLE stop);

}  // namespace demo
