// The five functions that hosts call, exported under plain names by varnokclient.def: the C
// boundary, where the library's statuses become the HRESULTs of the public header.
#include <windows.h>

#include "lifecycle.h"
#include "status.h"

namespace {

// What GetVersion hands out: static storage, one address for the module's life.
constexpr char kVersionText[] = "2.0.0.135";

}  // namespace

extern "C" {

HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback) {
    // The only exceptions that can arise are exhausted memory while a log text is composed and a
    // host LogCallback that broke its contract by throwing.
    return varnok::WithoutExceptions(
        [&] { return varnok::FilterInit(config, scan_callback, scan_result_callback, log_callback); }, varnok::kEFail);
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    return varnok::SetDriverConfiguration(config_text, config_value1, config_value2);
}

HRESULT ClientDisconnect() { return varnok::ClientDisconnect(); }

// Exported as "GetVersion"; the internal name keeps clear of kernel32's function of that name.
const char* VarnokGetVersion() { return kVersionText; }

BOOL VarnokDeleteFile(const wchar_t* path) { return ::DeleteFileW(path); }

}  // extern "C"
