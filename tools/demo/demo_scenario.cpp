#include "tools/demo/demo_scenario.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

#include "tools/common/stream_bytes.h"
#include "tools/sample_host/console.h"
#include "tools/sample_host/scanner.h"
#include "unique_handle.h"
#include "verdicts.h"

namespace demo {
namespace {

using sample_host::AntivirusTestString;
using sample_host::kVerdictClean;
using sample_host::kVerdictTestFileFound;
using varnok::kVerdictNoOrigin;
using varnok::kVerdictNoScan;
using varnok::UniqueHandle;

// Writes a file, or one of its streams ("file:stream"), with exactly these bytes.
bool WriteBytes(const std::wstring& path, std::string_view bytes) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Moves every time of the file back by `age`. (Under Wine the creation time follows the last-write
// time, so that one has to move too.)
bool MoveTimesBack(const std::wstring& path, std::chrono::hours age) {
    const UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
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
    return ::SetFileTime(file.Get(), &past, &past, &past) != FALSE;
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

}  // namespace

SampleFolder::SampleFolder() {
    std::error_code error;
    wchar_t parent[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"VARNOK_DEMO_FOLDER", parent, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        path = std::filesystem::path(parent) / L"varnok-demo";
        kept = true;
    } else {
        path =
            std::filesystem::temp_directory_path(error) / (L"varnok-demo-" + std::to_wstring(::GetCurrentProcessId()));
    }
    // An earlier run's streams would change the verdicts: the sample starts from nothing.
    std::filesystem::remove_all(path, error);
    std::filesystem::create_directories(path, error);
}

SampleFolder::~SampleFolder() {
    if (!kept) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::optional<std::wstring> ReadStreamText(const std::wstring& path, const wchar_t* stream) {
    const std::optional<std::string> bytes = varnok::usage::ReadStreamBytes(path, stream);
    return bytes ? std::optional<std::wstring>(sample_host::WidenBytes(*bytes)) : std::nullopt;
}

bool BuildSampleEvents(const std::filesystem::path& folder, std::vector<DemoEvent>& events) {
    const std::string test_file = AntivirusTestString() + "\r\n";
    const std::string harmless = "A harmless file of the varnokclient demo.\r\n";
    events.reserve(events.size() + 16);  // the references below stay valid while they are used
    bool written = true;
    const auto add = [&](const wchar_t* name, const std::string& content, const wchar_t* description) -> DemoEvent& {
        DemoEvent& event = events.emplace_back();
        event.path = (folder / name).wstring();
        event.record_of = event.path;
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

    // A script in a named stream of a download runs ("wscript download-notes.txt:p.vbs"): it is
    // judged by its file and scanned under its own name, and its file's record is left alone.
    const std::wstring notes_url = L"https://downloads.example.com/notes.txt";
    const std::wstring notes = (folder / L"download-notes.txt").wstring();
    written = WriteBytes(notes, harmless) &&
              WriteBytes(notes + L":Zone.Identifier", AsBytes(ZoneIdentifier(notes_url))) && written;
    DemoEvent& payload =
        add(L"download-notes.txt:p.vbs", test_file, L"script in a named stream of a download, holding the test string");
    payload.record_of = notes;
    payload.expected_verdict = kVerdictTestFileFound;
    payload.expected_scan = true;
    payload.expected_source = notes_url;

    const std::wstring referrer = L"https://www.example.org/downloads?id=42";
    DemoEvent& referred =
        add(L"download-referrer-only.exe", test_file, L"download with only a ReferrerUrl, holding the test string");
    stream(referred, L"Zone.Identifier", L"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=" + referrer + L"\r\n");
    referred.expected_verdict = kVerdictTestFileFound;
    referred.expected_scan = true;
    referred.expected_source = referrer;
    return written;
}

// Under Wine a file's streams are files named "file:stream" beside it; no Windows name holds a
// colon, so those are left out.
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
        event.record_of = event.path;
        event.label = it->path().lexically_relative(folder).wstring();
    }
    std::sort(events.begin(), events.end(), [](const DemoEvent& a, const DemoEvent& b) { return a.path < b.path; });
    return events;
}

}  // namespace demo
