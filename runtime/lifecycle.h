// Start-up and shut-down of the client, behind the exported functions.
#pragma once

#include <windows.h>

#include <cstdint>

#include "scan_event.h"
#include "varnokclient.h"

namespace varnok {

// The exported FilterInit decides with HandleScanEvent; the benchmark's floor client runs the same
// pool and port code with a handler that decides nothing.
HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback, EventHandler handler = HandleScanEvent);
BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2);
HRESULT ClientDisconnect();

}  // namespace varnok
