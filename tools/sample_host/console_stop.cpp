#include "tools/sample_host/console_stop.h"

namespace sample_host {
namespace {

// The events of the installed ConsoleStop, for the handler, which takes no context.
HANDLE g_stop = nullptr;
HANDLE g_stopped = nullptr;
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnConsoleControl(DWORD control) {
    switch (control) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(g_stop);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            ::SetEvent(g_stop);
            ::WaitForSingleObject(g_stopped, kCloseGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool InstallConsoleStop(ConsoleStop& console_stop) {
    console_stop.stop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    console_stop.stopped.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!console_stop.stop || !console_stop.stopped) {
        return false;
    }
    g_stop = console_stop.stop.Get();
    g_stopped = console_stop.stopped.Get();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return true;
}

void RemoveConsoleStop(ConsoleStop& console_stop) {
    ::SetEvent(console_stop.stopped.Get());
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

}  // namespace sample_host
