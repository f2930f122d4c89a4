#include <windows.h>

// The library keeps no per-thread state, so it needs no thread attach or detach notifications.
BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}
