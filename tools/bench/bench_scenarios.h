// The traffic a real machine sends the library, as four kinds of file event, and the mix of them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace bench {

enum class Scenario : std::uint32_t {
    kNoOrigin,       // a file with no origin stream: by far the most common event
    kFreshDownload,  // the first event of a download: no record yet; the origin is saved, the scan runs, the result is
                     // recorded
    kRescan,         // a repeated event of a download whose stored result is not clean: scanned again
    kSpared,         // an event spared by the library's own clean record
};
inline constexpr std::uint32_t kScenarioCount = 4;

// Each scenario's files lie in a folder of this name: how the scanner and the floor tell them apart.
inline constexpr std::array<std::wstring_view, kScenarioCount> kScenarioFolders = {L"no-origin", L"fresh", L"rescan",
                                                                                   L"spared"};
inline constexpr std::array<const char*, kScenarioCount> kScenarioNames = {"1 no origin", "2 fresh download",
                                                                           "3 rescan", "4 spared"};

// The mix, per 100 events: most events are for files without any origin; every download starts with
// a first event; a few are repeated events of downloads not found clean, a few are spared.
inline constexpr std::array<std::uint32_t, kScenarioCount> kMixPerHundred = {90, 5, 3, 2};

// The scenario of the mix's event at a position: the shares above, spread evenly over each 100.
Scenario MixScenarioAt(std::uint32_t position);

// The scenario of a benchmark file, from the folder in its path.
Scenario ScenarioOfPath(std::wstring_view path);

// What the host's scanner says of a file of the scenario: clean for those to be spared, 1 else.
std::int32_t ScanVerdictFor(Scenario scenario);

}  // namespace bench
