// The five functions that hosts call, exported under plain names by varnokclient.def.
#include <windows.h>

#include "lifecycle.h"
#include "protocol.h"
#include "records.h"
#include "status.h"

extern "C" {

HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback) {
    // The only exceptions that can arise are exhausted memory while a log text is composed and a
    // host LogCallback that broke its contract by throwing.
    return varnok::WithoutExceptions(
        [&] { return varnok::FilterInit(config, scan_callback, scan_result_callback, log_callback); }, E_FAIL);
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    return varnok::SetDriverConfiguration(config_text, config_value1, config_value2);
}

HRESULT ClientDisconnect() { return varnok::ClientDisconnect(); }

// Exported as "GetVersion"; the internal name keeps clear of kernel32's function of that name.
const char* VarnokGetVersion() { return varnok::kVersionText; }

BOOL VarnokDeleteFile(const wchar_t* path) { return ::DeleteFileW(path); }

}  // extern "C"
