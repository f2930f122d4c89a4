/* A host built against the installed package: the header compiles as C, the import library links,
 * and the DLL loads and answers. Without a FilterInit there is no client to stop.
 *
 * It also calls the Windows GetVersion: linking the import library must leave that name to
 * kernel32, while the DLL still exports its own GetVersion for GetProcAddress. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <varnokclient.h>

int main(void) {
    const long result = ClientDisconnect();
    if (result != (long)0x80004003L) {
        printf("ClientDisconnect without FilterInit returned 0x%08lX, not E_POINTER\n", (unsigned long)result);
        return 1;
    }
    printf("ClientDisconnect without FilterInit: E_POINTER\n");

    /* GetVersion's packed form of what GetVersionExW reports: major, minor and build. */
    const DWORD version = GetVersion();
    OSVERSIONINFOW info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(&info) || (version & 0xFFu) != info.dwMajorVersion ||
        ((version >> 8) & 0xFFu) != info.dwMinorVersion || (version >> 16) != (info.dwBuildNumber & 0xFFFFu)) {
        printf("GetVersion returned 0x%08lX, not the system's version\n", (unsigned long)version);
        return 1;
    }
    printf("GetVersion: the system's version\n");

    VarnokGetVersionFn get_version =
        (VarnokGetVersionFn)(void*)GetProcAddress(GetModuleHandleW(L"varnokclient.dll"), "GetVersion");
    if (get_version == NULL || strcmp(get_version(), "2.0.0.135") != 0) {
        printf("varnokclient.dll exports no GetVersion answering 2.0.0.135\n");
        return 1;
    }
    printf("varnokclient GetVersion: 2.0.0.135\n");
    return 0;
}
