// The five functions that hosts call, exported under plain names by varnokclient.def.
#include <windows.h>

#include <new>

#include "lifecycle.h"
#include "protocol.h"
#include "records.h"

namespace {

// No exception crosses into the host: the only ones that can arise are exhausted memory while a log
// text is composed and a host LogCallback that broke its contract by throwing.
template <class Call>
HRESULT WithoutExceptions(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace

extern "C" {

HRESULT FilterInit(const DriverConfig* config, ScanCallback scan_callback, ScanResultCallback scan_result_callback,
                   LogCallback log_callback) {
    return WithoutExceptions(
        [&] { return varnok::FilterInit(config, scan_callback, scan_result_callback, log_callback); });
}

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    return varnok::SetDriverConfiguration(config_text, config_value1, config_value2);
}

HRESULT ClientDisconnect() { return varnok::ClientDisconnect(); }

// Exported as "GetVersion"; the internal name keeps clear of kernel32's function of that name.
const char* VarnokGetVersion() { return varnok::kVersionText; }

BOOL VarnokDeleteFile(const wchar_t* path) { return ::DeleteFileW(path); }

}  // extern "C"
