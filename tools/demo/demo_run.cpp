#include "tools/demo/demo_run.h"

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "tools/demo/demo_recording.h"
#include "tools/demo/demo_report.h"
#include "tools/demo/demo_scenario.h"
#include "tools/sample_host/console.h"
#include "wire.h"

namespace demo {
namespace {

using sample_host::HexText;
using sample_host::PrintErrorLine;
using sample_host::PrintLine;

// "1 file", "2 files".
std::wstring Counted(std::size_t count, const wchar_t* noun) {
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

}  // namespace

int RunDemo(const sample_host::ClientLibrary& library, const SimulatorApi& simulator, const DriverConfig& config,
            const std::optional<std::wstring>& folder, HANDLE stop) {
    std::optional<SampleFolder> sample_folder;
    std::vector<DemoEvent> events;
    if (folder) {
        std::error_code error;
        const std::filesystem::path root = std::filesystem::absolute(*folder, error);
        if (error || !std::filesystem::is_directory(root, error)) {
            PrintErrorLine(L"No folder " + *folder);
            return 1;
        }
        events = ListFolderEvents(root);
        PrintLine(L"== One file event for each file of " + root.wstring() + L": " + Counted(events.size(), L"file"));
    } else {
        sample_folder.emplace();
        if (!BuildSampleEvents(sample_folder->path, events)) {
            PrintErrorLine(L"Could not build the sample folder " + sample_folder->path.wstring());
            return 1;
        }
        PrintLine(L"== The sample folder " + sample_folder->path.wstring());
        for (const DemoEvent& event : events) {
            if (!event.description.empty()) {
                PrintLine(L"   " + event.label + L": " + event.description);
            }
        }
    }

    // The simulated driver's port must exist before the library connects to it.
    const HRESULT created = simulator.create_port();
    if (FAILED(created) && created != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) {
        PrintErrorLine(L"SimCreatePort failed: " + HexText(static_cast<std::uint32_t>(created)));
        return 1;
    }
    PrintLine(L"== FilterInit, then one event at a time; the library's log lines and verdicts as they come");
    const long started = library.filter_init(&config, RecordScan, sample_host::OnScanResult, RecordLogLine);
    if (started != 0) {
        PrintErrorLine(L"FilterInit failed: " + HexText(static_cast<std::uint32_t>(started)));
        simulator.close_port();
        return 1;
    }
    PrintReceivedConfiguration(simulator);
    simulator.reset_traffic();

    const auto notification = std::make_unique<varnok::ScanNotification>();
    std::vector<EventOutcome> outcomes;
    bool stopped = false;
    for (const DemoEvent& event : events) {
        if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
            stopped = true;
            break;
        }
        outcomes.push_back(SendEvent(simulator, event, static_cast<std::uint32_t>(outcomes.size()), *notification));
        if (!outcomes.back().answered) {
            break;  // later verdicts could no longer be told apart
        }
    }

    // Waits for the callbacks in progress: after it, every log line is in.
    const long disconnected = library.client_disconnect();
    PrintLine(L"== ClientDisconnect: " + HexText(static_cast<std::uint32_t>(disconnected)));
    simulator.close_port();

    PrintLine(L"== " + Counted(outcomes.size(), L"file event"));
    if (!outcomes.empty()) {
        PrintOutcomes(events, outcomes);
    }
    if (sample_folder && sample_folder->kept) {
        PrintLine(L"== The sample folder stays at " + sample_folder->path.wstring());
    }
    if (stopped) {
        PrintLine(L"Stopped by Ctrl+C.");
        return 1;
    }
    const std::vector<std::wstring> surprises = FindSurprises(events, outcomes, RecordedLogLines());
    for (const std::wstring& surprise : surprises) {
        PrintErrorLine(L"UNEXPECTED " + surprise);
    }
    if (!surprises.empty() || disconnected != 0) {
        return 1;
    }
    PrintLine(sample_folder ? L"Every event went as expected." : L"Every event got its verdict.");
    return 0;
}

}  // namespace demo
