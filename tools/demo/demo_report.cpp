#include "tools/demo/demo_report.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <optional>

#include "record_format.h"
#include "tools/sample_host/console.h"
#include "tools/sample_host/host.h"

namespace demo {
namespace {

using sample_host::LevelName;
using sample_host::PrintLine;

// Whether the line is one of those that seal the record for its file (record_seal.h).
bool IsSealLine(const std::wstring& line) {
    return std::any_of(varnok::kSealKeys.begin(), varnok::kSealKeys.end(),
                       [&](const std::wstring* key) { return line.starts_with(*key + L"="); });
}

// The stream's lines joined by "; ", the file's own path shortened to its name and the lines of the
// seal shown as one word.
std::wstring VarnokCell(const std::optional<std::wstring>& text, const std::wstring& path) {
    if (!text) {
        return L"(no stream)";
    }
    bool sealed = false;
    const std::wstring own_file_name = varnok::kFileName + L"=" + path;
    const std::wstring short_name = varnok::kFileName + L"=...\\" + std::filesystem::path(path).filename().wstring();
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
        if (IsSealLine(line)) {
            sealed = true;
        } else if (!line.empty()) {
            cell += (cell.empty() ? L"" : L"; ") + (line == own_file_name ? short_name : line);
        }
        begin = end + 1;
    }
    if (sealed) {
        cell += (cell.empty() ? L"" : L"; ") + std::wstring(L"sealed");
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
    rule.reserve(widths.size());
    for (const std::size_t width : widths) {
        rule.emplace_back(width, L'-');
    }
    print_row(rule);
    std::for_each(rows.begin() + 1, rows.end(), print_row);
}

}  // namespace

void PrintOutcomes(const std::vector<DemoEvent>& events, const std::vector<EventOutcome>& outcomes) {
    std::vector<std::vector<std::wstring>> rows{
        {L"File", L"Zone", L"Origin", L"Scanned", L"Verdict", L"varnok afterwards"}};
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const EventOutcome& outcome = outcomes[i];
        rows.push_back({events[i].label, outcome.scan ? std::to_wstring(outcome.scan->zone_id) : L"-",
                        outcome.scan ? outcome.scan->source : L"-", outcome.scan ? L"yes" : L"no",
                        outcome.answered ? std::to_wstring(outcome.verdict) : L"none",
                        VarnokCell(outcome.varnok, events[i].record_of)});
    }
    PrintTable(rows);
}

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

}  // namespace demo
