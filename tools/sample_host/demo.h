// The demo mode: the sample host plays the driver itself, through the driver simulator's control
// functions, so that the library can be watched at work on a machine without the driver.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "driver_sim.h"
#include "tools/sample_host/host.h"

namespace sample_host {

// The simulator's control functions, found by name in the fltlib.dll that the library loaded. Only
// the simulator has them; the system's Filter Manager library does not, and then there is no demo.
struct SimulatorApi {
    decltype(&::SimCreatePort) pCreatePort = nullptr;
    decltype(&::SimClosePort) pClosePort = nullptr;
    decltype(&::SimPostNotification) pPostNotification = nullptr;
    decltype(&::SimWaitForTraffic) pWaitForTraffic = nullptr;
    decltype(&::SimTrafficCount) pTrafficCount = nullptr;
    decltype(&::SimGetTraffic) pGetTraffic = nullptr;
    decltype(&::SimResetTraffic) pResetTraffic = nullptr;
};

bool LoadSimulatorApi(SimulatorApi& simulator);

// Starts the library, sends one file event per file and waits for each verdict, stops the library
// and prints what happened as a table. Without a folder it builds a sample folder that leads to
// every decision of the library, checks each outcome and removes the folder (keeps it when
// VARNOK_DEMO_FOLDER names where to build it); with one, it sends an event for every file in it.
// Returns the exit code: 0 when every event got a verdict (for the sample folder: the expected
// verdict, scan and log lines), else 1. A set hStop ends it early.
int RunDemo(const ClientLibrary& library, const SimulatorApi& simulator, const DriverConfig& config,
            const std::optional<std::wstring>& folder, HANDLE hStop);

}  // namespace sample_host
