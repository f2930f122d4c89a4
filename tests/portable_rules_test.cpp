// Rules that need no Windows API: the file age arithmetic, the numbers read from streams, the
// referrer URL rule, the status of a Win32 failure, and the lines of the host's log.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <random>
#include <regex>
#include <string>

#include "file_age.h"
#include "log_sink.h"
#include "origin_rules.h"
#include "status.h"

namespace varnok {
namespace {

constexpr std::uint64_t kSecond = 10000000;
constexpr std::uint64_t kNow = kUnixEpochAsFileTime + 1700000000ULL * kSecond;

TEST(FileAge, OneDayIsTheStrictLimit) {
    EXPECT_EQ(IsRecentCreation(kNow, kNow - 86400 * kSecond), 1);
    EXPECT_EQ(IsRecentCreation(kNow, kNow - 86401 * kSecond), 0);
    EXPECT_EQ(IsRecentCreation(kNow, kNow + 3600 * kSecond), 1);  // created "in the future"
    // Each time is cut to whole seconds on its own: 86400.9 s apart can count as 86401.
    EXPECT_EQ(IsRecentCreation(kNow + kSecond / 10, kNow - 86400 * kSecond - kSecond / 10), 0);
    // The difference is compared by its low 32 bits taken as a signed number.
    EXPECT_EQ(IsRecentCreation(kNow, kNow - (1ULL << 32) * kSecond), 1);
    EXPECT_EQ(IsRecentCreation(kNow, kNow - ((1ULL << 31) + 5) * kSecond), 1);
    EXPECT_EQ(IsRecentCreation(kNow, kNow - ((1ULL << 32) + 86401) * kSecond), 0);
}

TEST(StoredNumbers, ReadLikeTheDecimalConversion) {
    for (const wchar_t* four : {L" 4", L"\t\r\n+4", L"4abc", L"04", L"00000000000000000000004"}) {
        EXPECT_EQ(ParseDecimalInt32(four), 4) << four;
    }
    EXPECT_EQ(ParseDecimalInt32(L"-1"), -1);
    EXPECT_EQ(ParseDecimalInt32(L"2147483647"), 2147483647);
    EXPECT_EQ(ParseDecimalInt32(L"-2147483648"), -2147483647 - 1);
    for (const wchar_t* rejected :
         {L"", L"abc", L"-", L"+ 1", L"2147483648", L"-2147483649", L"99999999999999999999"}) {
        EXPECT_EQ(ParseDecimalInt32(rejected), std::nullopt) << rejected;
    }
}

const wchar_t kUrlPattern[] =
    L"https?:\\/\\/(www\\.)?[-a-zA-Z0-9@:%._\\+~#=]{2,256}\\.[a-z]{2,4}\\b([-a-zA-Z0-9@:%_\\+.~#?&//=]*)";

TEST(ReferrerUrl, JudgesLikeTheUrlPattern) {
    EXPECT_TRUE(IsReferrerUrl(L"https://www.example.org/downloads?id=4"));
    EXPECT_FALSE(IsReferrerUrl(L"https://e.org"));  // the host part needs two characters

    // Random texts near the pattern's shape, against the regex itself (short enough for it).
    const std::wregex pattern(kUrlPattern, std::regex::ECMAScript);
    std::mt19937 random(20261206);
    const std::wstring alphabet = L"abcxyzAQ09._-@%~#=?&/:w! ";
    for (int i = 0; i < 20000; ++i) {
        std::wstring text = (random() % 4 == 0) ? L"http://" : L"https://";
        if (random() % 3 == 0) {
            text += L"www.";
        }
        const std::size_t length = random() % 24;
        for (std::size_t j = 0; j < length; ++j) {
            text += alphabet[random() % alphabet.size()];
        }
        if (random() % 2 == 0) {
            text.insert(text.size() - std::min<std::size_t>(text.size() - 8, random() % 6), L".com");
        }
        EXPECT_EQ(IsReferrerUrl(text), std::regex_match(text, pattern)) << std::string(text.begin(), text.end());
    }
}

TEST(ReferrerUrl, HostileTextsAreJudgedAndLongOnesRefused) {
    std::wstring hostile = L"https://";
    while (hostile.size() < kMaxReferrerLength - 1) {
        hostile += L"a.aa";
    }
    hostile.resize(kMaxReferrerLength - 1);
    hostile += L"!";
    EXPECT_FALSE(IsReferrerUrl(hostile));  // a backtracking matcher would not return

    std::wstring long_url = L"https://example.org/";
    long_url.resize(kMaxReferrerLength, L'a');
    EXPECT_TRUE(IsReferrerUrl(long_url));
    long_url += L'a';
    EXPECT_FALSE(IsReferrerUrl(long_url));
}

// A Win32 code becomes a FACILITY_WIN32 failure; 0 and what already is a failure HRESULT (the
// Filter Manager's own, say) pass unchanged.
TEST(Status, HResultFromWin32) {
    EXPECT_EQ(HResultFromWin32(0), kSOk);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(997)), 0x800703E5U);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(0x801F0020U)), 0x801F0020U);
}

// A piece whose composition runs out of memory.
struct ExhaustingPiece {};
void AppendLogPiece(std::wstring&, const ExhaustingPiece&) { throw std::bad_alloc(); }

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
