// The DLL's entry point: no thread notifications, and the C++ runtime's own memory given back on unload.
#include <windows.h>

#ifdef __GLIBCXX__
// Frees what the statically linked C++ runtime allocated for itself at load (the emergency pool for
// exceptions thrown while memory is exhausted). libstdc++ defines it; no header declares it.
namespace __gnu_cxx {
void __freeres();  // NOLINT(readability-identifier-naming): the runtime's own name
}  // namespace __gnu_cxx
#endif

// The library keeps no per-thread state, so it needs no thread attach or detach notifications.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
    }
#ifdef __GLIBCXX__
    // Unloaded by FreeLibrary, the process goes on: give back what the runtime took at load, or every
    // load and unload of the DLL leaves it behind in the process's heap. At process exit (reserved
    // not null) nothing needs freeing and other threads may be gone mid-call, so nothing is done.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        __gnu_cxx::__freeres();
    }
#else
    static_cast<void>(reserved);
#endif
    return TRUE;
}
