// The demo's driver: the program plays the minifilter itself through the driver simulator's
// control functions, found in the fltlib.dll the library loaded, so that the library can be
// watched at work on a machine without the driver.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver_sim.h"
#include "tools/demo/demo_scenario.h"
#include "wire.h"

namespace demo {

// The simulator's control functions, found by name. Only the simulator has them; the system's
// Filter Manager library does not, and then there is no demo. Filled once by the main thread.
struct SimulatorApi {
    decltype(&::SimCreatePort) create_port = nullptr;
    decltype(&::SimClosePort) close_port = nullptr;
    decltype(&::SimPostNotification) post_notification = nullptr;
    decltype(&::SimWaitForTraffic) wait_for_traffic = nullptr;
    decltype(&::SimTrafficCount) traffic_count = nullptr;
    decltype(&::SimGetTraffic) get_traffic = nullptr;
    decltype(&::SimResetTraffic) reset_traffic = nullptr;
};

bool LoadSimulatorApi(SimulatorApi& simulator);

// Prints the configuration command the library sent at start-up, as the driver received it.
void PrintReceivedConfiguration(const SimulatorApi& simulator);

// Sends the event as the driver does and waits for its verdict, the command that follows every
// earlier one. `index` counts the verdicts before it; `notification` is the caller's buffer.
EventOutcome SendEvent(const SimulatorApi& simulator, const DemoEvent& event, std::uint32_t index,
                       varnok::ScanNotification& notification);

}  // namespace demo
