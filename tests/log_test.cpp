#include <gtest/gtest.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "log_sink.h"

namespace varnok {

// A piece whose composition runs out of memory.
struct ExhaustingPiece {};
inline void AppendLogPiece(std::wstring&, const ExhaustingPiece&) { throw std::bad_alloc(); }

namespace {

using Line = std::pair<std::uint32_t, std::wstring>;
std::vector<Line> g_delivered;
void Collect(std::uint32_t level, const wchar_t* text) { g_delivered.emplace_back(level, text); }

// A name is the driver's, or whoever named the file: a line end in it must not start a line of its
// own in the host's log.
TEST(LogTest, PiecesAreJoinedWithTheirLevelAndALineEndInAPieceIsShownAsQuestionMark) {
    g_delivered.clear();
    const std::wstring path =
        L"C:\\\x00E9\x4E2D\xD83D\xDE00\r\nconnection to kernel driver restored\u2028\u2029\u0085\rb.exe";
    Log(Collect, LogLevel::kInfo, L"NEW EVENT -----  for ", path);
    Log(Collect, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    EXPECT_EQ(g_delivered,
              (std::vector<Line>{
                  {VARNOK_LOG_INFO,
                   L"NEW EVENT -----  for C:\\\x00E9\x4E2D\xD83D\xDE00??connection to kernel driver restored????b.exe"},
                  {VARNOK_LOG_WARN, L"Malformed Zone.Identifier - force scan."}}));
}

// A line whose composition runs out of memory is lost alone: Log returns normally and the next
// line is delivered. (A callback that throws: the tests of the handler.)
TEST(LogTest, ExhaustedMemoryLosesOnlyItsOwnLine) {
    g_delivered.clear();
    Log(Collect, LogLevel::kWarn, L"before ", ExhaustingPiece{});
    Log(Collect, LogLevel::kWarn, L" Could not open file.");
    EXPECT_EQ(g_delivered, (std::vector<Line>{{VARNOK_LOG_WARN, L" Could not open file."}}));
}

}  // namespace
}  // namespace varnok
