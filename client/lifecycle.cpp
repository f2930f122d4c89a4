#include "client/lifecycle.h"

#include "client/protocol.h"
#include "client/records.h"

namespace varnok {

HRESULT FilterInit(const DriverConfig*, ScanCallback, ScanResultCallback, LogCallback) { return E_NOTIMPL; }

BOOL SetDriverConfiguration(const wchar_t* config_text, std::uint32_t config_value1, std::uint32_t config_value2) {
    ScanContext* const pContext = g_pScanContext;
    if (pContext == nullptr || pContext->hPort == nullptr) {
        return FALSE;
    }
    return SendDriverConfiguration(pContext->hPort, config_text, config_value1, config_value2) == S_OK ? TRUE : FALSE;
}

HRESULT ClientDisconnect() { return E_POINTER; }

}  // namespace varnok
