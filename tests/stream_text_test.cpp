#include "stream_text.h"

#include <gtest/gtest.h>

#include <random>

#include "stream_text_reference.h"

namespace varnok {
namespace {

using namespace std::string_literals;

// CR LF is read as LF, any other byte as the character of its code; 0x1A ends the text, and the
// text is whole only when nothing follows it. A part ends after its last line end, LF or CR: the
// line cut by the limit is dropped, so a stored 21 never reads as 2.
TEST(StreamBytes, DecodeJoinsCrLfStopsAtEndOfTextAndDropsALineCutByTheLimit) {
    struct Case {
        std::string bytes;
        bool bytes_are_whole;
        std::wstring text;
        bool whole;
    };
    const Case cases[] = {
        {"A=1\r\nB=\r2\r\r\n\x00\x80\xFF\r"s, true, L"A=1\nB=\r2\r\n\0\x80\xFF\r"s, true},
        {"A=1\r\n\x1A", true, L"A=1\n", true},
        {"A=1\r\n\x1A\r\n", true, L"A=1\n", false},
        {"A=x\r\nB=2", false, L"A=x\n", false},
        {"A=1\rScanResult=2", false, L"A=1\r", false},
        {"B=21\r", false, L"B=21\r", false},
        {"A=no line end at all", false, L"", false},
        {"A=1\r\n\x1A"
         "B=2",
         false, L"A=1\n", false},
    };
    for (const Case& c : cases) {
        const StreamText decoded = DecodeStream(c.bytes, c.bytes_are_whole);
        EXPECT_EQ(decoded.text, c.text) << c.bytes;
        EXPECT_EQ(decoded.whole, c.whole) << c.bytes;
    }
    // LF is written as CR LF, a character above 0xFF as '?', every other character as its byte.
    EXPECT_EQ(EncodeStreamText(L"A=\x0416\x2028\xFF\r\n\0B"s), "A=??\xFF\r\r\n\0B"s);
}

// The readings of a key that stored streams rely on (the comparison on random texts below holds
// the rest): letters "s" after the "=" are skipped, the first line with a value wins, and a key is
// the text it is, whatever a pattern would make of it.
TEST(StreamValue, FollowsThePatternsReading) {
    EXPECT_EQ(FindStreamValue(L"Key=sftp", L"Key"), L"ftp");
    EXPECT_EQ(FindStreamValue(L"Key=\nKey=\rKey=2\nKey=3", L"Key"), L"2");
    EXPECT_EQ(FindStreamValue(L"a(=1", L"a("), L"1");
    EXPECT_EQ(FindStreamValue(L"ab=1", L"a."), std::nullopt);
}

// Lines far beyond what the pattern engine's recursion survives.
TEST(StreamValue, HandlesLinesOfAnyLength) {
    const std::wstring value = L"https://" + std::wstring(kStreamReadLimit, L'h') + L"$1";
    std::wstring text = L"Zone=3\n";
    for (int i = 0; i < 50000; ++i) {
        text += L"Url=\n";
    }
    text += L"Url=" + value;
    EXPECT_EQ(FindStreamValue(text, L"Url"), value);
    EXPECT_FALSE(SetStreamValue(text, L"Url", L"x" + value));  // longer than the read limit
    EXPECT_TRUE(SetStreamValue(text, L"Url", L"x" + value, 2 * kStreamReadLimit));
    EXPECT_EQ(FindStreamValue(text, L"Url"), L"x" + value);
    EXPECT_EQ(FindStreamValue(text, L"Zone"), L"3");
    EXPECT_EQ(FindStreamValue(text, L"U.l"), std::nullopt);
}

// The matcher, the replacement and the setting of a key against the pattern engine and the
// line-by-line reference, on short texts of the characters that matter: line breaks, "$", the end
// of text, values too long for the bound, keys that occur inside a line, and keys that a pattern
// would read otherwise, which are text like any other.
TEST(StreamValue, AgreesWithThePatternEngineOnRandomTexts) {
    const std::wstring alphabet = L"Kes==ssss\r\n\n$a\x2028\x2029\x1A";
    const std::wstring keys[] = {L"", L"K", L"Ke", L"KeK", L"s", L"ss", L"=", L"e=", L"K.", L"s*", L"(K)|e", L")|("};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> bound(0, 40);
    for (int round = 0; round < 20000; ++round) {
        std::wstring text, value;
        for (std::size_t i = length(random); i > 0; --i) {
            text.push_back(alphabet[letter(random)]);
        }
        for (std::size_t i = length(random) / 6; i > 0; --i) {
            value.push_back(alphabet[letter(random)]);
        }
        const std::wstring& key = keys[static_cast<std::size_t>(round) % std::size(keys)];
        ASSERT_EQ(FindStreamValue(text, key), ReferenceValue(text, key)) << text << L" / " << key;
        ASSERT_EQ(ReplaceStreamValues(text, key, value), ReferenceReplace(text, key, value)) << text << L" / " << key;
        const std::size_t max_bytes = bound(random);
        std::wstring set = text;
        SetStreamValue(set, key, value, max_bytes);
        ASSERT_EQ(set, ReferenceSet(text, key, value, max_bytes)) << text << L" / " << key << L" / " << max_bytes;
    }
}

}  // namespace
}  // namespace varnok
