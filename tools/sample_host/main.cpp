// The sample host: a small program that uses varnokclient.dll the way a real host does. Start here
// to see the exports in use; copy it to start a host of your own. (The demo, which plays the driver
// through the driver simulator, is tools/demo.)
#include <windows.h>

#include <string>

#include "tools/sample_host/console.h"
#include "tools/sample_host/console_stop.h"
#include "tools/sample_host/host.h"
#include "tools/sample_host/host_options.h"

namespace sample_host {
namespace {

constexpr wchar_t kUsageHead[] =
    L"Usage: sample_host [--config TEXT] [--value1 N] [--value2 N]\n"
    L"\n"
    L"A sample host of varnokclient.dll. It loads the library from its own folder, prints its\n"
    L"version, starts it with FilterInit and prints every log message and verdict until Ctrl+C,\n"
    L"then stops it with ClientDisconnect. Its scanner finds the standard antivirus test file\n"
    L"(verdict 1); any other file is clean (verdict 2), and one it cannot read gets 3.\n"
    L"\n"
    L"On Windows it runs against the real Varnok driver, which must be loaded and listening on\n"
    L"its port \\VarnokScanPort. To see the library at work without the driver, run varnok_demo.\n"
    L"\n";

struct Options {
    bool help = false;
    ConfigOptions config;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--help" || option == L"-h" || option == L"/?") {
            options.help = true;
            continue;
        }
        switch (TakeConfigOption(argc, argv, i, options.config, error)) {
            case OptionUse::kTaken:
                continue;
            case OptionUse::kInvalid:
                return false;
            case OptionUse::kNotMine:
                error = L"Unknown option or missing value: " + option;
                return false;
        }
    }
    return true;
}

std::wstring StartFailureHint(long result) {
    switch (static_cast<std::uint32_t>(result)) {
        case 0x80070002u:
            return L" (no port \\VarnokScanPort: is the Varnok driver loaded?)";
        case 0x80070005u:
            return L" (access denied: the driver's port admits privileged processes only)";
        case 0x800704DFu:
            return L" (the library is already running in this process)";
        default:
            return L"";
    }
}

// The host's life: start, run until asked to stop, stop.
int RunHost(const ClientLibrary& library, const DriverConfig& config, HANDLE stop) {
    const long started = library.filter_init(&config, OnScan, OnScanResult, OnLog);
    if (started != 0) {
        PrintErrorLine(L"FilterInit failed: " + HexText(static_cast<std::uint32_t>(started)) +
                       StartFailureHint(started));
        return 1;
    }
    PrintLine(L"Running; press Ctrl+C to stop.");
    ::WaitForSingleObject(stop, INFINITE);
    // Never from a callback: it waits for the callbacks in progress.
    const long disconnected = library.client_disconnect();
    PrintLine(L"ClientDisconnect: " + HexText(static_cast<std::uint32_t>(disconnected)));
    return disconnected == 0 ? 0 : 1;
}

int Run(int argc, wchar_t** argv) {
    Options options;
    std::wstring error;
    if (!ParseOptions(argc, argv, options, error)) {
        PrintErrorLine(error);
        PrintErrorLine(std::wstring(kUsageHead) + kConfigOptionsUsage);
        return 2;
    }
    if (options.help) {
        PrintLine(std::wstring(kUsageHead) + kConfigOptionsUsage);
        return 0;
    }

    ConsoleStop console_stop;
    if (!InstallConsoleStop(console_stop)) {
        PrintErrorLine(L"Could not create an event (error " + std::to_wstring(::GetLastError()) + L")");
        return 2;
    }
    int exit_code = 2;
    {
        ClientLibrary library;
        if (!LoadClientLibrary(library, error)) {
            PrintErrorLine(error);
        } else {
            PrintLine(L"varnokclient " + WidenBytes(library.get_version()));
            exit_code = RunHost(library, MakeConfig(options.config), console_stop.stop.Get());
        }
    }  // the library is unloaded here, after ClientDisconnect ended its threads
    RemoveConsoleStop(console_stop);
    return exit_code;
}

}  // namespace
}  // namespace sample_host

// The entry point keeps the name the toolchain looks for.
int wmain(int argc, wchar_t** argv) { return sample_host::Run(argc, argv); }  // NOLINT(readability-identifier-naming)
