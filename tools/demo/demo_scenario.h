// The demo's scenario: the sample folder, with one file for each decision of the library and what
// must come of its event, or the files of a folder the user names, with no expectations.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/demo/demo_recording.h"

namespace demo {

// One file event the demo sends and, for the sample folder, what must come of it.
struct DemoEvent {
    std::wstring path;         // the file, or a named stream of it ("notes.txt:p.vbs")
    std::wstring record_of;    // the file whose record the table shows: the event's own, or its stream's
    std::wstring label;        // the file as the table shows it
    std::wstring description;  // what the sample file stands for
    bool held_open_for_writing = false;
    bool checked = false;  // the expectations below hold (sample folder only)
    std::int32_t expected_verdict = 0;
    bool expected_scan = false;
    std::wstring expected_source;  // the origin the host is told, when it scans
    std::vector<SeenLogLine> expected_log;
};

// What came of one event.
struct EventOutcome {
    bool answered = false;
    std::int32_t verdict = 0;
    std::optional<SeenScan> scan;
    std::optional<std::wstring> varnok;  // the library's stream of the file right after the verdict
};

// The sample folder, made afresh. By default it lies under the temporary folder and is removed with
// everything in it at the end. When VARNOK_DEMO_FOLDER names a folder (scripts/demo names one on its
// NTFS volume), the sample folder is "varnok-demo" in there and stays, for a look at the streams.
struct SampleFolder {
    std::filesystem::path path;
    bool kept = false;

    SampleFolder();
    SampleFolder(const SampleFolder&) = delete;
    SampleFolder& operator=(const SampleFolder&) = delete;
    ~SampleFolder();
};

// Builds the sample folder: one file per decision of the library, and the events that show them,
// appended to `events`. False when a file could not be written as the scenario needs it.
bool BuildSampleEvents(const std::filesystem::path& folder, std::vector<DemoEvent>& events);

// Every file under the folder, in order of their paths.
std::vector<DemoEvent> ListFolderEvents(const std::filesystem::path& folder);

// A stream's text as the library reads it: one character per byte. Nothing when it does not exist.
std::optional<std::wstring> ReadStreamText(const std::wstring& path, const wchar_t* stream);

}  // namespace demo
