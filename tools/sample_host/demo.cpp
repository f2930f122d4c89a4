#include "tools/sample_host/demo.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "tools/sample_host/console.h"
#include "tools/sample_host/scanner.h"
#include "unique_handle.h"
#include "wire.h"

namespace sample_host {
namespace {

using varnok::ScanCommand;
using varnok::ScanNotification;
using varnok::ScanReply;
using varnok::UniqueHandle;

// Generous: under Wine a first event can take a while.
constexpr std::uint32_t kWaitMs = 30000;
constexpr std::uint64_t kFirstEventId = 1001;

// The library's verdicts; every other value is the host's.
constexpr std::int32_t kVerdictNoOrigin = 0;
constexpr std::int32_t kVerdictNoScan = 2;

// "1 file", "2 files".
std::wstring Counted(std::size_t count, const wchar_t* noun) {
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

// One file event the demo sends and, for the sample folder, what must come of it.
struct DemoEvent {
    std::wstring path;
    std::wstring label;        // the file as the table shows it
    std::wstring description;  // what the sample file stands for
    bool held_open_for_writing = false;
    bool checked = false;  // the expectations below hold (sample folder only)
    std::int32_t expected_verdict = 0;
    bool expected_scan = false;
    std::wstring expected_source;  // the origin the host is told, when it scans
    std::vector<SeenLogLine> expected_log;
};

struct EventOutcome {
    bool answered = false;
    std::int32_t verdict = 0;
    std::optional<SeenScan> scan;
    std::optional<std::wstring> varnok;  // the library's stream right after the verdict
};

// The sample folder, made afresh. By default it lies under the temporary folder and is removed with
// everything in it at the end. When VARNOK_DEMO_FOLDER names a folder (scripts/demo names one on its
// NTFS volume), the sample folder is "varnok-demo" in there and stays, for a look at the streams.
struct SampleFolder {
    std::filesystem::path path;
    bool kept = false;

    SampleFolder() {
        std::error_code error;
        wchar_t parent[MAX_PATH] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"VARNOK_DEMO_FOLDER", parent, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            path = std::filesystem::path(parent) / L"varnok-demo";
            kept = true;
        } else {
            path = std::filesystem::temp_directory_path(error) /
                   (L"varnok-demo-" + std::to_wstring(::GetCurrentProcessId()));
        }
        // An earlier run's streams would change the verdicts: the sample starts from nothing.
        std::filesystem::remove_all(path, error);
        std::filesystem::create_directories(path, error);
    }
    SampleFolder(const SampleFolder&) = delete;
    SampleFolder& operator=(const SampleFolder&) = delete;
    ~SampleFolder() {
        if (!kept) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
};

// Writes a file, or one of its streams ("file:stream"), with exactly these bytes.
bool WriteBytes(const std::wstring& path, std::string_view bytes) {
    const UniqueHandle hFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return hFile && ::WriteFile(hFile.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Moves every time of the file back by `age`. (Under Wine the creation time follows the last-write
// time, so that one has to move too.)
bool MoveTimesBack(const std::wstring& path, std::chrono::hours age) {
    const UniqueHandle hFile(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (!hFile) {
        return false;
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{};
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -=
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(age).count()) * 10000000ULL;
    const FILETIME past{value.LowPart, value.HighPart};
    return ::SetFileTime(hFile.get(), &past, &past, &past) != FALSE;
}

// A stream's text as the library reads it: one character per byte. Nothing when it does not exist.
std::optional<std::wstring> ReadStreamText(const std::wstring& path, const wchar_t* stream) {
    const UniqueHandle hStream(::CreateFileW((path + L":" + stream).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    if (!hStream) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(hStream.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return WidenBytes(bytes);
}

std::wstring ZoneIdentifier(std::wstring_view host_url) {
    return L"[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=" + std::wstring(host_url) + L"\r\n";
}

std::string AsBytes(const std::wstring& text) {
    std::string bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<char>(c));  // the sample streams are ASCII
    }
    return bytes;
}

SeenLogLine Info(std::wstring text) { return {VARNOK_LOG_INFO, std::move(text)}; }
SeenLogLine Warn(std::wstring text) { return {VARNOK_LOG_WARN, std::move(text)}; }

// Builds the sample folder: one file per decision of the library, and the events that show them.
bool BuildSampleEvents(const std::filesystem::path& folder, std::vector<DemoEvent>& events) {
    const std::string test_file = AntivirusTestString() + "\r\n";
    const std::string harmless = "A harmless file of the varnokclient demo.\r\n";
    events.reserve(events.size() + 16);  // the references below stay valid while they are used
    bool written = true;
    const auto add = [&](const wchar_t* name, const std::string& content, const wchar_t* description) -> DemoEvent& {
        DemoEvent& event = events.emplace_back();
        event.path = (folder / name).wstring();
        event.label = name;
        event.description = description;
        event.checked = true;
        written = WriteBytes(event.path, content) && written;
        event.expected_log.push_back(Info(L"NEW EVENT -----  for " + event.path));
        return event;
    };
    const auto stream = [&](const DemoEvent& event, const wchar_t* name, const std::wstring& text) {
        written = WriteBytes(event.path + L":" + name, AsBytes(text)) && written;
    };

    const std::wstring infected_url = L"https://downloads.example.com/tools/test-file.com";
    DemoEvent& infected = add(L"download-test-file.com", test_file,
                              L"fresh download from the internet holding the antivirus test string");
    stream(infected, L"Zone.Identifier", ZoneIdentifier(infected_url));
    infected.expected_verdict = kVerdictTestFileFound;
    infected.expected_scan = true;
    infected.expected_source = infected_url;

    // A name beyond ASCII, as paths often are.
    const std::wstring clean_url = L"https://www.example.com/apps/setup.exe";
    const wchar_t* const clean_name = L"download-clean-caf\u00E9.exe";
    DemoEvent& clean = add(clean_name, harmless, L"fresh clean download, sent twice");
    stream(clean, L"Zone.Identifier", ZoneIdentifier(clean_url));
    clean.expected_verdict = kVerdictClean;
    clean.expected_scan = true;
    clean.expected_source = clean_url;
    DemoEvent clean_again = clean;
    clean_again.label += L" (again)";
    clean_again.description = L"";
    clean_again.expected_scan = false;  // its recorded clean result spares the scan
    events.push_back(std::move(clean_again));

    DemoEvent& local = add(L"local-notes.txt", harmless, L"local file without origin streams");
    local.expected_verdict = kVerdictNoScan;
    local.expected_log.push_back(Info(L"File has no Zone.Identifier nor SmartScan. " + local.path));

    DemoEvent& old = add(L"download-2-days-old.exe", harmless, L"download from two days ago");
    stream(old, L"Zone.Identifier", ZoneIdentifier(L"https://www.example.com/old.exe"));
    written = MoveTimesBack(old.path, std::chrono::hours(48)) && written;
    old.expected_verdict = kVerdictNoScan;
    old.expected_log.push_back(Info(old.path + L" file is old"));

    DemoEvent& smart_screen = add(L"smartscreen-only.exe", harmless, L"only a SmartScreen stream, no known host");
    stream(smart_screen, L"SmartScreen", L"Anaheim");
    smart_screen.expected_verdict = kVerdictNoOrigin;

    DemoEvent& busy = add(L"download-being-written.exe", harmless, L"download held open for writing by another handle");
    stream(busy, L"Zone.Identifier", ZoneIdentifier(L"https://www.example.com/busy.exe"));
    busy.held_open_for_writing = true;
    busy.expected_verdict = kVerdictNoScan;
    busy.expected_log.push_back(Info(busy.path + L" Could not open file."));

    DemoEvent& malformed = add(L"download-empty-zone.exe", harmless, L"empty Zone.Identifier");
    stream(malformed, L"Zone.Identifier", L"");
    malformed.expected_verdict = kVerdictClean;
    malformed.expected_scan = true;
    malformed.expected_source = L"unknown host";
    malformed.expected_log.push_back(Warn(L"Malformed Zone.Identifier - force scan."));

    const std::wstring referrer = L"https://www.example.org/downloads?id=42";
    DemoEvent& referred =
        add(L"download-referrer-only.exe", test_file, L"download with only a ReferrerUrl, holding the test string");
    stream(referred, L"Zone.Identifier", L"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + L"\r\n");
    referred.expected_verdict = kVerdictTestFileFound;
    referred.expected_scan = true;
    referred.expected_source = referrer;
    return written;
}

// Every file under the folder. Under Wine a file's streams are files named "file:stream" beside it;
// no Windows name holds a colon, so those are left out.
std::vector<DemoEvent> ListFolderEvents(const std::filesystem::path& folder) {
    std::vector<DemoEvent> events;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             folder, std::filesystem::directory_options::skip_permission_denied, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        const std::wstring name = it->path().filename().wstring();
        if (!it->is_regular_file(error) || name.find(L':') != std::wstring::npos) {
            continue;
        }
        DemoEvent& event = events.emplace_back();
        event.path = it->path().wstring();
        event.label = it->path().lexically_relative(folder).wstring();
    }
    std::sort(events.begin(), events.end(), [](const DemoEvent& a, const DemoEvent& b) { return a.path < b.path; });
    return events;
}

ScanCommand CommandOf(const SimTraffic& traffic) {
    ScanCommand command{};
    std::memcpy(&command, traffic.Bytes, std::min<std::size_t>(sizeof(command), traffic.Length));
    return command;
}

void PrintReceivedConfiguration(const SimulatorApi& simulator) {
    SimTraffic traffic{};
    if (!simulator.pGetTraffic(SIM_TRAFFIC_COMMAND, 0, &traffic)) {
        PrintLine(L"The driver received no configuration.");
        return;
    }
    const ScanCommand command = CommandOf(traffic);
    const wchar_t* const end = std::find(command.ConfigText, command.ConfigText + varnok::kConfigTextUnits, L'\0');
    const std::wstring text(command.ConfigText, end);
    PrintLine(L"The driver received the configuration \"" + text + L"\", " + std::to_wstring(command.ConfigValue1) +
              L", " + std::to_wstring(command.ConfigValue2) + L".");
}

// Sends the event as the driver does and waits for its verdict, the command that follows every
// earlier one. `index` counts the verdicts before it.
EventOutcome SendEvent(const SimulatorApi& simulator, const DemoEvent& event, std::uint32_t index,
                       ScanNotification& notification) {
    EventOutcome outcome;
    UniqueHandle hWriter;
    if (event.held_open_for_writing) {
        hWriter.reset(::CreateFileW(event.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
        simulator.pPostNotification(&notification, sizeof(notification), sizeof(ScanReply), nullptr, kWaitMs);
    if (FAILED(posted)) {
        PrintErrorLine(L"Could not send the event for " + event.path + L": " +
                       HexText(static_cast<std::uint32_t>(posted)));
        return outcome;
    }
    SimTraffic traffic{};
    if (!simulator.pWaitForTraffic(0, index + 1, kWaitMs) ||
        !simulator.pGetTraffic(SIM_TRAFFIC_COMMAND, index, &traffic)) {
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
    outcome.varnok = ReadStreamText(event.path, L"varnok");
    return outcome;
}

// The stream's lines joined by "; ", the file's own path shortened to its name.
std::wstring VarnokCell(const std::optional<std::wstring>& text, const std::wstring& path) {
    if (!text) {
        return L"(no stream)";
    }
    const std::wstring own_file_name = L"FileName=" + path;
    const std::wstring short_name = L"FileName=...\\" + std::filesystem::path(path).filename().wstring();
    std::wstring cell;
    std::size_t begin = 0;
    while (begin < text->size()) {
        std::size_t end = text->find(L'\n', begin);
        if (end == std::wstring::npos) {
            end = text->size();
        }
        std::wstring line = text->substr(begin, end - begin);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            cell += (cell.empty() ? L"" : L"; ") + (line == own_file_name ? short_name : line);
        }
        begin = end + 1;
    }
    return cell.empty() ? L"(empty)" : cell;
}

void PrintTable(const std::vector<std::vector<std::wstring>>& rows) {
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    const auto print_row = [&](const std::vector<std::wstring>& row) {
        std::wstring line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line.append(widths[column] - row[column].size() + 2, L' ');
            }
        }
        PrintLine(line);
    };
    print_row(rows.front());
    std::vector<std::wstring> rule;
    for (const std::size_t width : widths) {
        rule.emplace_back(width, L'-');
    }
    print_row(rule);
    std::for_each(rows.begin() + 1, rows.end(), print_row);
}

void PrintOutcomes(const std::vector<DemoEvent>& events, const std::vector<EventOutcome>& outcomes) {
    std::vector<std::vector<std::wstring>> rows{
        {L"File", L"Zone", L"Origin", L"Scanned", L"Verdict", L"varnok afterwards"}};
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const EventOutcome& outcome = outcomes[i];
        rows.push_back({events[i].label, outcome.scan ? std::to_wstring(outcome.scan->zone_id) : L"-",
                        outcome.scan ? outcome.scan->source : L"-", outcome.scan ? L"yes" : L"no",
                        outcome.answered ? std::to_wstring(outcome.verdict) : L"none",
                        VarnokCell(outcome.varnok, events[i].path)});
    }
    PrintTable(rows);
}

// What did not go as the sample folder promises, one text per fault.
std::vector<std::wstring> FindSurprises(const std::vector<DemoEvent>& events, const std::vector<EventOutcome>& outcomes,
                                        const std::vector<SeenLogLine>& log_lines) {
    std::vector<std::wstring> surprises;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const DemoEvent& event = events[i];
        if (i >= outcomes.size() || !outcomes[i].answered) {
            surprises.push_back(event.label + L": no verdict");
            continue;
        }
        if (!event.checked) {
            continue;
        }
        const EventOutcome& outcome = outcomes[i];
        if (outcome.verdict != event.expected_verdict) {
            surprises.push_back(event.label + L": verdict " + std::to_wstring(outcome.verdict) + L", expected " +
                                std::to_wstring(event.expected_verdict));
        }
        if (outcome.scan.has_value() != event.expected_scan) {
            surprises.push_back(event.label + (event.expected_scan ? L": not scanned" : L": scanned"));
        } else if (outcome.scan && outcome.scan->source != event.expected_source) {
            surprises.push_back(event.label + L": origin " + outcome.scan->source + L", expected " +
                                event.expected_source);
        }
        for (const SeenLogLine& expected : event.expected_log) {
            const bool logged = std::any_of(log_lines.begin(), log_lines.end(), [&](const SeenLogLine& line) {
                return line.level == expected.level && line.text == expected.text;
            });
            if (!logged) {
                surprises.push_back(event.label + L": no log line [" + LevelName(expected.level) + L"] " +
                                    expected.text);
            }
        }
    }
    return surprises;
}

}  // namespace

bool LoadSimulatorApi(SimulatorApi& simulator) {
    const HMODULE hFltlib = ::GetModuleHandleW(L"fltlib.dll");
    if (hFltlib == nullptr) {
        return false;
    }
    const auto look_up = [hFltlib](auto& function, const char* name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            reinterpret_cast<void*>(::GetProcAddress(hFltlib, name)));
        return function != nullptr;
    };
    return look_up(simulator.pCreatePort, "SimCreatePort") && look_up(simulator.pClosePort, "SimClosePort") &&
           look_up(simulator.pPostNotification, "SimPostNotification") &&
           look_up(simulator.pWaitForTraffic, "SimWaitForTraffic") &&
           look_up(simulator.pTrafficCount, "SimTrafficCount") && look_up(simulator.pGetTraffic, "SimGetTraffic") &&
           look_up(simulator.pResetTraffic, "SimResetTraffic");
}

int RunDemo(const ClientLibrary& library, const SimulatorApi& simulator, const DriverConfig& config,
            const std::optional<std::wstring>& folder, HANDLE hStop) {
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
    const HRESULT created = simulator.pCreatePort();
    if (FAILED(created) && created != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) {
        PrintErrorLine(L"SimCreatePort failed: " + HexText(static_cast<std::uint32_t>(created)));
        return 1;
    }
    StartRecording();
    PrintLine(L"== FilterInit, then one event at a time; the library's log lines and verdicts as they come");
    const long started = library.pFilterInit(&config, OnScan, OnScanResult, OnLog);
    if (started != 0) {
        PrintErrorLine(L"FilterInit failed: " + HexText(static_cast<std::uint32_t>(started)));
        simulator.pClosePort();
        return 1;
    }
    PrintReceivedConfiguration(simulator);
    simulator.pResetTraffic();

    const auto notification = std::make_unique<ScanNotification>();
    std::vector<EventOutcome> outcomes;
    bool stopped = false;
    for (const DemoEvent& event : events) {
        if (::WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0) {
            stopped = true;
            break;
        }
        outcomes.push_back(SendEvent(simulator, event, static_cast<std::uint32_t>(outcomes.size()), *notification));
        if (!outcomes.back().answered) {
            break;  // later verdicts could no longer be told apart
        }
    }

    // Waits for the callbacks in progress: after it, every log line is in.
    const long disconnected = library.pClientDisconnect();
    PrintLine(L"== ClientDisconnect: " + HexText(static_cast<std::uint32_t>(disconnected)));
    simulator.pClosePort();

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

}  // namespace sample_host
