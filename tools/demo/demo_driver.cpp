#include "tools/demo/demo_driver.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "record_format.h"
#include "tools/sample_host/console.h"
#include "unique_handle.h"
#include "wire.h"

namespace demo {
namespace {

using sample_host::HexText;
using sample_host::PrintErrorLine;
using sample_host::PrintLine;
using varnok::ScanCommand;
using varnok::ScanReply;

// Generous: under Wine a first event can take a while.
constexpr std::uint32_t kWaitMs = 30000;
constexpr std::uint64_t kFirstEventId = 1001;

ScanCommand CommandOf(const SimTraffic& traffic) {
    ScanCommand command{};
    std::memcpy(&command, traffic.Bytes, std::min<std::size_t>(sizeof(command), traffic.Length));
    return command;
}

}  // namespace

bool LoadSimulatorApi(SimulatorApi& simulator) {
    const HMODULE fltlib = ::GetModuleHandleW(L"fltlib.dll");
    if (fltlib == nullptr) {
        return false;
    }
    const auto look_up = [fltlib](auto& function, const char* name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            reinterpret_cast<void*>(::GetProcAddress(fltlib, name)));
        return function != nullptr;
    };
    return look_up(simulator.create_port, "SimCreatePort") && look_up(simulator.close_port, "SimClosePort") &&
           look_up(simulator.post_notification, "SimPostNotification") &&
           look_up(simulator.wait_for_traffic, "SimWaitForTraffic") &&
           look_up(simulator.traffic_count, "SimTrafficCount") && look_up(simulator.get_traffic, "SimGetTraffic") &&
           look_up(simulator.reset_traffic, "SimResetTraffic");
}

void PrintReceivedConfiguration(const SimulatorApi& simulator) {
    SimTraffic traffic{};
    if (!simulator.get_traffic(SIM_TRAFFIC_COMMAND, 0, &traffic)) {
        PrintLine(L"The driver received no configuration.");
        return;
    }
    const ScanCommand command = CommandOf(traffic);
    const wchar_t* const end = std::find(command.ConfigText, command.ConfigText + varnok::kConfigTextUnits, L'\0');
    const std::wstring text(command.ConfigText, end);
    PrintLine(L"The driver received the configuration \"" + text + L"\", " + std::to_wstring(command.ConfigValue1) +
              L", " + std::to_wstring(command.ConfigValue2) + L".");
}

EventOutcome SendEvent(const SimulatorApi& simulator, const DemoEvent& event, std::uint32_t index,
                       varnok::ScanNotification& notification) {
    EventOutcome outcome;
    varnok::UniqueHandle writer;
    if (event.held_open_for_writing) {
        writer.Reset(::CreateFileW(event.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    }
    const std::uint64_t event_id = kFirstEventId + index;
    std::memset(&notification, 0, sizeof(notification));
    notification.Kind = varnok::kKindFileEvent;
    notification.EventId = event_id;
    const std::size_t units = std::min<std::size_t>(event.path.size(), varnok::kFileNameUnits - 1);
    std::copy_n(event.path.data(), units, notification.FileName);

    const std::size_t scans_before = RecordedScanCount();
    const HRESULT posted =
        simulator.post_notification(&notification, sizeof(notification), sizeof(ScanReply), nullptr, kWaitMs);
    if (FAILED(posted)) {
        PrintErrorLine(L"Could not send the event for " + event.path + L": " +
                       HexText(static_cast<std::uint32_t>(posted)));
        return outcome;
    }
    SimTraffic traffic{};
    if (!simulator.wait_for_traffic(0, index + 1, kWaitMs) ||
        !simulator.get_traffic(SIM_TRAFFIC_COMMAND, index, &traffic)) {
        PrintErrorLine(L"No verdict for " + event.path + L" within " + std::to_wstring(kWaitMs / 1000) + L" s.");
        return outcome;
    }
    const ScanCommand command = CommandOf(traffic);
    if (command.Command != varnok::CommandScanResult || command.EventId != event_id) {
        PrintErrorLine(L"The command after the event for " + event.path + L" is no verdict for it.");
        return outcome;
    }
    outcome.answered = true;
    outcome.verdict = command.Verdict;
    // The scan, when there was one, ended before the verdict went out; so did every write of the
    // library's stream.
    const std::vector<SeenScan> scans = RecordedScans();
    if (scans.size() > scans_before) {
        outcome.scan = scans[scans_before];
    }
    outcome.varnok = ReadStreamText(event.record_of, varnok::kRecordStream.c_str());
    return outcome;
}

}  // namespace demo
