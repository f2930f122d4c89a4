// Rules that need no Windows API: the file age arithmetic, the numbers read from streams, the
// referrer URL rule and the status of a Win32 failure.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>

#include "file_age.h"
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

}  // namespace
}  // namespace varnok
