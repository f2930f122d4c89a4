// The exported functions' work: the client's start-up, its configuration while it runs, and its
// stop (client_stop.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "scan_event.h"
#include "status.h"
#include "varnokclient.h"

namespace varnok {

// The exported FilterInit decides with HandleScanEvent; the benchmark's floor client runs the same
// pool and port code with a handler that decides nothing.
HResult FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback, EventHandler handler = HandleScanEvent);
BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2);
HResult ClientDisconnect();

}  // namespace varnok
