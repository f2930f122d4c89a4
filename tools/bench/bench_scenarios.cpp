#include "tools/bench/bench_scenarios.h"

namespace bench {
namespace {

// A hundred events of the mix: the rarer kinds spread over it, the rest without origin.
std::array<Scenario, 100> MakeMixPattern() {
    std::array<Scenario, 100> pattern{};
    pattern.fill(Scenario::kNoOrigin);
    for (std::uint32_t kind = 1; kind < kScenarioCount; ++kind) {
        const std::uint32_t share = kMixPerHundred[kind];
        for (std::uint32_t i = 0; i < share; ++i) {
            std::uint32_t position = (i * 100 / share + kind * 7) % 100;
            while (pattern[position] != Scenario::kNoOrigin) {
                position = (position + 1) % 100;
            }
            pattern[position] = static_cast<Scenario>(kind);
        }
    }
    return pattern;
}

}  // namespace

Scenario MixScenarioAt(std::uint32_t position) {
    static const std::array<Scenario, 100> kPattern = MakeMixPattern();
    return kPattern[position % kPattern.size()];
}

Scenario ScenarioOfPath(std::wstring_view path) {
    for (std::uint32_t kind = 0; kind < kScenarioCount; ++kind) {
        const std::wstring_view folder = kScenarioFolders[kind];
        const std::size_t at = path.rfind(folder);
        if (at != std::wstring_view::npos && at > 0 && path[at - 1] == L'\\' && at + folder.size() < path.size() &&
            path[at + folder.size()] == L'\\') {
            return static_cast<Scenario>(kind);
        }
    }
    return Scenario::kNoOrigin;
}

std::int32_t ScanVerdictFor(Scenario scenario) { return scenario == Scenario::kSpared ? 2 : 1; }

}  // namespace bench
