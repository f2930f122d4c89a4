// What the demo shows and checks afterwards: the table of outcomes and, for the sample folder,
// every way an outcome differs from what the scenario promises.
#pragma once

#include <string>
#include <vector>

#include "tools/demo/demo_recording.h"
#include "tools/demo/demo_scenario.h"

namespace demo {

// One row per outcome: file, zone, origin, scanned, verdict, the library's stream afterwards.
void PrintOutcomes(const std::vector<DemoEvent>& events, const std::vector<EventOutcome>& outcomes);

// What did not go as the sample folder promises, one text per fault. Events without expectations
// (a user's folder) only need their verdict.
std::vector<std::wstring> FindSurprises(const std::vector<DemoEvent>& events, const std::vector<EventOutcome>& outcomes,
                                        const std::vector<SeenLogLine>& log_lines);

}  // namespace demo
