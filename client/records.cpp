#include "client/records.h"

namespace varnok {

ScanContext* g_pScanContext = nullptr;
std::atomic<::ScanCallback> g_scan_callback{nullptr};
std::atomic<::ScanResultCallback> g_scan_result_callback{nullptr};

const char kVersionText[] = "2.0.0.135";

}  // namespace varnok
