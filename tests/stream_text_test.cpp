#include "stream_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <utility>

#include "stream_text_reference.h"

namespace varnok {
namespace {

using namespace std::string_literals;

TEST(StreamBytes, DecodeJoinsCrLfKeepsOtherBytesAndStopsAtEndOfText) {
    const std::string bytes = "A=1\r\nB=\r2\r\r\n\x00\x80\xFF\r"s + "\x1A" + "C=3\r\n";
    EXPECT_EQ(DecodeStreamBytes(bytes), L"A=1\nB=\r2\r\n\0\x80\xFF\r"s);
    EXPECT_EQ(DecodeStreamBytes("\r"), L"\r");
    EXPECT_EQ(DecodeStreamBytes("\x1A"
                                "A=1"),
              L"");
}

TEST(StreamBytes, TextOfAPartOrOfABytePastTheEndOfTextIsNotWhole) {
    const auto decoded = [](std::string_view bytes, bool bytes_are_whole) {
        const StreamText text = DecodeStream(bytes, bytes_are_whole);
        return std::pair(text.text, text.whole);
    };
    EXPECT_EQ(decoded("A=1\r\nB=2", true), std::pair(L"A=1\nB=2"s, true));
    EXPECT_EQ(decoded("A=1\r\n\x1A", true), std::pair(L"A=1\n"s, true));
    EXPECT_EQ(decoded("A=1\r\n\x1A\r\n", true), std::pair(L"A=1\n"s, false));

    // A part ends after its last line end, LF or CR: the line cut by the limit is dropped, so a
    // stored 21 never reads as 2.
    EXPECT_EQ(decoded("HostUrl=x\r\nScanResult=2", false), std::pair(L"HostUrl=x\n"s, false));
    EXPECT_EQ(decoded("A=1\rScanResult=2", false), std::pair(L"A=1\r"s, false));
    EXPECT_EQ(decoded("ScanResult=21\r", false), std::pair(L"ScanResult=21\r"s, false));
    EXPECT_EQ(decoded("HostUrl=no line end at all", false), std::pair(L""s, false));
    EXPECT_EQ(decoded("A=1\r\n\x1A"
                      "B=2",
                      false),
              std::pair(L"A=1\n"s, false));
}

TEST(StreamBytes, EncodeWritesLfAsCrLfAndOnlyTheUnstorableCharacterAsQuestionMark) {
    EXPECT_EQ(EncodeStreamText(L"A=\x0416\x2028\xFF\r\n\0B"s), "A=??\xFF\r\r\n\0B"s);
    // Every byte but LF, CR and 0x1A comes back as it was.
    std::string bytes;
    for (int byte = 0; byte < 0x100; ++byte) {
        if (byte != '\n' && byte != '\r' && byte != 0x1A) {
            bytes.push_back(static_cast<char>(byte));
        }
    }
    EXPECT_EQ(EncodeStreamText(DecodeStreamBytes(bytes)), bytes);
}

TEST(StreamValue, FollowsThePatternsReadingAtLineStartsOnly) {
    struct Case {
        std::wstring text, key;
        std::optional<std::wstring> value;
    };
    const Case cases[] = {
        {L"Key=sftp", L"Key", L"ftp"},
        {L"Key=sss\nKey=2", L"Key", L"s"},
        {L"Key= 5", L"Key", L" 5"},
        {L"Key=\nKey=\rKey=2\nKey=3", L"Key", L"2"},
        {L"Key=a\x2029z", L"Key", L"a"},
        {L"s=s=x", L"s", L"=x"},
        {L"Key=aKey=b", L"Key", L"aKey=b"},
        {L"Key=", L"Key", std::nullopt},
        {L"abc=1", L"a.c", L"1"},
        {L"a(=1", L"a(", std::nullopt},
        // A key inside a line is no key: not after other text, nor after a line end that only
        // ends a value in memory.
        {L"XKey=1", L"Key", std::nullopt},
        {L"XKey=1\rKey=2", L"Key", L"2"},
        {L"aaa=1\naa=2", L"aa", L"2"},
        {L"X=\x2028Key=a", L"Key", std::nullopt},
        {L"xabc=1\nabc=2", L"a.c", L"2"},
        {L"HostUrl=https://a.example/?ScanResult=2\n", L"ScanResult", std::nullopt},
        {L"[ZoneTransfer]\nAppZoneId=4\nZoneId=3\n", L"ZoneId", L"3"},
        {L"ReferrerUrl=https://a.example/?HostUrl=https://b.example/\nHostUrl=https://a.example/x\n", L"HostUrl",
         L"https://a.example/x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindStreamValue(c.text, c.key), c.value) << c.text << L" / " << c.key;
    }
}

// A key inside a line is neither replaced nor taken for a line of its own; a value with a line
// break is refused. (The finer cases: the comparison on random texts below.)
TEST(StreamValue, SetAppendsALineUnlessALineStartsWithTheKey) {
    std::wstring text = L"HostUrl=https://a.example/?ScanResult=\nFileName=C:\\ScanResult=2.exe\n";
    EXPECT_TRUE(SetStreamValue(text, L"ScanResult", L"1"));
    EXPECT_EQ(text, L"HostUrl=https://a.example/?ScanResult=\nFileName=C:\\ScanResult=2.exe\nScanResult=1\n");
    EXPECT_FALSE(SetStreamValue(text, L"FileName", L"C:\\a\nScanResult=2"));
    EXPECT_EQ(FindStreamValue(text, L"ScanResult"), L"1");
}

// A name is stored as FileName byte for byte: one holding 0x1A would end the stream's text there and
// leave a stream that is never whole again, so no later result could be recorded.
TEST(StreamValue, SetRefusesTheEndOfTextInTheValue) {
    std::wstring text = L"HostUrl=https://a.example/\nScanResult=1\n";
    EXPECT_FALSE(SetStreamValue(text, L"FileName", L"C:\\a\x1A.exe"));
    EXPECT_EQ(text, L"HostUrl=https://a.example/\nScanResult=1\n");
    ASSERT_TRUE(SetStreamValue(text, L"FileName", L"C:\\a.exe"));
    EXPECT_TRUE(DecodeStream(EncodeStreamText(text), true).whole);
}

// The bound is counted in bytes as saved (LF takes two), on appends and on replacements alike.
TEST(StreamValue, SetNeverMakesTheTextLongerThanTheBound) {
    std::wstring text = L"A=1\n";  // 5 bytes
    EXPECT_FALSE(SetStreamValue(text, L"B", L"2", 9));
    EXPECT_TRUE(SetStreamValue(text, L"B", L"2", 10));
    EXPECT_EQ(text, L"A=1\nB=2\n");
    text = L"A=1\nA=ss1\n";  // 12 bytes; 18 with the new value on both lines
    EXPECT_FALSE(SetStreamValue(text, L"A", L"12345", 17));
    EXPECT_EQ(text, L"A=1\nA=ss1\n");
    EXPECT_TRUE(SetStreamValue(text, L"A", L"12345", 18));
    EXPECT_EQ(text, L"A=12345\nA=12345\n");
}

// A line repeated under the read limit and a long value: the replacement would take some 180 MB,
// so it is refused, and nothing of that size is built.
TEST(StreamValue, SetRefusesAReplacementBeyondTheBoundWithoutBuildingIt) {
    std::wstring repeated;
    for (int i = 0; i < 90000; ++i) {
        repeated += L"HostUrl=x\n";
    }
    ASSERT_LT(EncodedStreamSize(repeated), kStreamReadLimit);
    std::wstring text = repeated;
    EXPECT_FALSE(SetStreamValue(text, L"HostUrl", L"https://a.example/" + std::wstring(2000, L'p')));
    EXPECT_EQ(text, repeated);
    EXPECT_TRUE(SetStreamValue(text, L"HostUrl", L"y"));
    EXPECT_EQ(EncodedStreamSize(text), EncodeStreamText(text).size());
}

// Lines far beyond what the pattern engine's recursion survives.
TEST(StreamValue, HandlesLinesOfAnyLength) {
    const std::wstring value = L"https://" + std::wstring(kStreamReadLimit, L'h') + L"$1";
    std::wstring text = L"ZoneId=3\n";
    for (int i = 0; i < 50000; ++i) {
        text += L"HostUrl=\n";
    }
    text += L"HostUrl=" + value;
    EXPECT_EQ(FindStreamValue(text, L"HostUrl"), value);
    EXPECT_FALSE(SetStreamValue(text, L"HostUrl", L"x" + value));  // longer than the read limit
    EXPECT_TRUE(SetStreamValue(text, L"HostUrl", L"x" + value, 2 * kStreamReadLimit));
    EXPECT_EQ(FindStreamValue(text, L"HostUrl"), L"x" + value);
    EXPECT_EQ(FindStreamValue(text, L"ZoneId"), L"3");
    EXPECT_EQ(FindStreamValue(text, L"Host.rl"), std::nullopt);
}

// The matcher, the replacement and the setting of a key (line breaks, "$", the bound) against the
// pattern engine and the line-by-line reference, on short texts of the characters that matter.
TEST(StreamValue, AgreesWithThePatternEngineOnRandomTexts) {
    const std::wstring alphabet = L"Kes==ssss\r\n\n$a\x2028";
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
        if (IsPlainKey(key)) {
            const std::size_t max_bytes = bound(random);
            std::wstring set = text;
            SetStreamValue(set, key, value, max_bytes);
            ASSERT_EQ(set, ReferenceSet(text, key, value, max_bytes)) << text << L" / " << key << L" / " << max_bytes;
        }
    }
}

}  // namespace
}  // namespace varnok
