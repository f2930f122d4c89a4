#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "log_sink.h"

namespace varnok {

// A piece that counts how often it is composed into a text.
struct CountedPiece {
    int* composed;
};
inline void AppendLogPiece(std::wstring& text, const CountedPiece& piece) {
    ++*piece.composed;
    text += L"counted";
}

// A piece whose composition runs out of memory.
struct ExhaustingPiece {};
inline void AppendLogPiece(std::wstring&, const ExhaustingPiece&) { throw std::bad_alloc(); }

namespace {

struct Delivered {
    std::uint32_t level;
    std::wstring text;
};
std::vector<Delivered> g_delivered;

void Collect(std::uint32_t level, const wchar_t* text) { g_delivered.push_back({level, text}); }

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { g_delivered.clear(); }
};

TEST_F(LogTest, WithoutACallbackNothingIsComposed) {
    int composed = 0;
    Log(nullptr, LogLevel::kWarn, CountedPiece{&composed});
    EXPECT_EQ(composed, 0);

    Log(Collect, LogLevel::kWarn, CountedPiece{&composed});
    EXPECT_EQ(composed, 1);
}

TEST_F(LogTest, PiecesAreJoinedExactlyWithTheirLevel) {
    const std::wstring path = L"C:\\Down loads\\\x00E9t\x00E9 \x4E2D\xD83D\xDE00.exe";
    Log(Collect, LogLevel::kInfo, L"NEW EVENT -----  for ", path);
    Log(Collect, LogLevel::kInfo, path, L" file is old");
    Log(Collect, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    Log(Collect, LogLevel::kInfo, L"NEW EVENT -----  for ", std::wstring());

    ASSERT_EQ(g_delivered.size(), 4u);
    EXPECT_EQ(g_delivered[0].level, 0u);
    EXPECT_EQ(g_delivered[0].text, L"NEW EVENT -----  for " + path);
    EXPECT_EQ(g_delivered[1].text, path + L" file is old");
    EXPECT_EQ(g_delivered[2].level, 1u);
    EXPECT_EQ(g_delivered[2].text, L"Malformed Zone.Identifier - force scan.");
    EXPECT_EQ(g_delivered[3].text, L"NEW EVENT -----  for ");
}

// A name is the driver's, or whoever named the file: a line end in it must not start a line of its
// own in the host's log.
TEST_F(LogTest, ALineEndInAPieceIsShownAsQuestionMark) {
    const std::wstring path = L"C:\\a\r\nconnection to kernel driver restored\u2028\u2029\u0085\rb.exe";
    Log(Collect, LogLevel::kInfo, L"NEW EVENT -----  for ", path);
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].text, L"NEW EVENT -----  for C:\\a??connection to kernel driver restored????b.exe");
}

int g_throwing_calls = 0;
void Throw(std::uint32_t, const wchar_t*) {
    ++g_throwing_calls;
    throw std::runtime_error("disk full");
}

// A failing message is lost alone: Log returns normally and the next message is delivered.
TEST_F(LogTest, AThrowingCallbackOrExhaustedMemoryLosesOnlyItsOwnLine) {
    g_throwing_calls = 0;
    Log(Throw, LogLevel::kInfo, L"NEW EVENT -----  for ", std::wstring(L"C:\\a.exe"));
    Log(Throw, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    EXPECT_EQ(g_throwing_calls, 2);

    Log(Collect, LogLevel::kWarn, L"before ", ExhaustingPiece{});
    Log(Collect, LogLevel::kWarn, L" Could not open file.");
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].text, L" Could not open file.");
}

}  // namespace
}  // namespace varnok
