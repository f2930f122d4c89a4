#include "driver_sim.h"
// placeholder: being written
extern "C" {
HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR, DWORD, LPCVOID, WORD, LPSECURITY_ATTRIBUTES, HANDLE*) { return E_NOTIMPL; }
HRESULT WINAPI FilterGetMessage(HANDLE, void*, DWORD, LPOVERLAPPED) { return E_NOTIMPL; }
HRESULT WINAPI FilterReplyMessage(HANDLE, void*, DWORD) { return E_NOTIMPL; }
HRESULT WINAPI FilterSendMessage(HANDLE, LPVOID, DWORD, LPVOID, DWORD, LPDWORD) { return E_NOTIMPL; }
HRESULT SimCreatePort(void) { return E_NOTIMPL; }
void SimClosePort(void) {}
HRESULT SimPostNotification(const void*, uint32_t, uint32_t, uint64_t*, uint32_t) { return E_NOTIMPL; }
BOOL SimWaitForTraffic(uint32_t, uint32_t, uint32_t) { return FALSE; }
uint32_t SimTrafficCount(uint32_t) { return 0; }
BOOL SimGetTraffic(uint32_t, uint32_t, SimTraffic*) { return FALSE; }
void SimResetTraffic(void) {}
void SimFailConnect(HRESULT, uint32_t) {}
void SimRefuseReplies(uint32_t) {}
void SimFailCommands(HRESULT, uint32_t) {}
void SimImmediateReceives(uint32_t) {}
uint32_t SimConnectionCount(void) { return 0; }
BOOL SimIsConnected(void) { return FALSE; }
}
