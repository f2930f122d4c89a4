// Rules that need no Windows API: file age, stored numbers, the referrer rule, statuses, the host's log,
// the names that the driver reports, and the text of streams.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <random>
#include <regex>
#include <string>

#include "file_age.h"
#include "log_sink.h"
#include "origin_rules.h"
#include "reported_name.h"
#include "status.h"
#include "stream_text.h"
#include "stream_text_reference.h"

namespace varnok {
namespace {

using namespace std::string_literals;

constexpr std::uint64_t kSecond = 10000000;
constexpr std::uint64_t kNow = kUnixEpochAsFileTime + 1700000000ULL * kSecond;

// A file is recent for one day exactly; stored numbers read as the decimal conversion reads them; a
// Win32 code becomes a FACILITY_WIN32 failure, while 0 and failure HRESULTs pass unchanged.
TEST(Numbers, FileAgeStoredNumbersAndStatusesAreRead) {
    EXPECT_EQ(IsRecentCreation(kNow, kNow - 86400 * kSecond), 1);
    EXPECT_EQ(IsRecentCreation(kNow, kNow - 86401 * kSecond), 0);
    EXPECT_EQ(IsRecentCreation(kNow, kNow + 3600 * kSecond), 1);  // created "in the future"
    EXPECT_EQ(IsRecentCreation(kNow + kSecond / 10, kNow - 86400 * kSecond - kSecond / 10), 0);  // each cut to s
    EXPECT_EQ(IsRecentCreation(kNow, kNow - (1ULL << 32) * kSecond), 1);                         // low 32 bits, signed
    EXPECT_EQ(IsRecentCreation(kNow, kNow - ((1ULL << 31) + 5) * kSecond), 1);
    EXPECT_EQ(IsRecentCreation(kNow, kNow - ((1ULL << 32) + 86401) * kSecond), 0);

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
    EXPECT_EQ(HResultFromWin32(0), kSOk);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(997)), 0x800703E5U);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(0x801F0020U)), 0x801F0020U);
}

const wchar_t kUrlPattern[] =
    L"https?:\\/\\/(www\\.)?[-a-zA-Z0-9@:%._\\+~#=]{2,256}\\.[a-z]{2,4}\\b([-a-zA-Z0-9@:%_\\+.~#?&//=]*)";

// Random texts are judged as the URL pattern judges them; a hostile one at once; a longer one refused.
TEST(ReferrerUrl, JudgesLikeTheUrlPatternAndRefusesLongTexts) {
    EXPECT_TRUE(IsReferrerUrl(L"https://www.example.org/downloads?id=4"));
    EXPECT_FALSE(IsReferrerUrl(L"https://e.org"));  // the host part needs two characters
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

// A piece whose composition runs out of memory.
struct ExhaustingPiece {};
void AppendLogPiece(std::wstring&, const ExhaustingPiece&) { throw std::bad_alloc(); }

using Line = std::pair<std::uint32_t, std::wstring>;
std::vector<Line> g_delivered;
void Collect(std::uint32_t level, const wchar_t* text) { g_delivered.emplace_back(level, text); }

// Pieces are joined with their level, a line end in a name shown as '?'; a line out of memory is lost alone.
TEST(LogTest, PiecesAreJoinedALineEndIsShownAsQuestionMarkAndExhaustedMemoryLosesOneLine) {
    g_delivered.clear();
    const std::wstring path =
        L"C:\\\x00E9\x4E2D\xD83D\xDE00\r\nconnection to kernel driver restored\u2028\u2029\u0085\rb.exe";
    Log(Collect, LogLevel::kInfo, L"NEW EVENT -----  for ", path);
    Log(Collect, LogLevel::kWarn, L"before ", ExhaustingPiece{});
    Log(Collect, LogLevel::kWarn, "Malformed Zone.Identifier - force scan.");
    EXPECT_EQ(g_delivered,
              (std::vector<Line>{
                  {VARNOK_LOG_INFO,
                   L"NEW EVENT -----  for C:\\\x00E9\x4E2D\xD83D\xDE00??connection to kernel driver restored????b.exe"},
                  {VARNOK_LOG_WARN, L"Malformed Zone.Identifier - force scan."}}));
}

// A name of the data in any spelling is the file's, one of a named stream that stream; other types,
// extra colons, drives and device prefixes name no data stream.
TEST(ReportedName, FilesDataAndNamedStreamsAreToldApart) {
    struct Case {
        const wchar_t* reported;
        std::optional<ReportedStream> designated;
    };
    const auto data = [](const wchar_t* file) { return std::optional(ReportedStream{file, {}}); };
    const auto stream = [](const wchar_t* file, const wchar_t* name) {
        return std::optional(ReportedStream{file, name});
    };
    const Case cases[] = {
        {L"C:\\d\\tool.exe", data(L"C:\\d\\tool.exe")},
        {L"C:\\d\\tool.exe::$DATA", data(L"C:\\d\\tool.exe")},
        {L"C:\\d\\tool.exe::$DaTa", data(L"C:\\d\\tool.exe")},
        {L"C:\\d\\tool.exe:", data(L"C:\\d\\tool.exe")},
        {L"C:\\d\\notes.txt:p.vbs", stream(L"C:\\d\\notes.txt", L"p.vbs")},
        {L"C:\\d\\notes.txt:p.vbs:$data", stream(L"C:\\d\\notes.txt", L"p.vbs")},
        {L"C:\\d\\tool.exe:ZONE.identifier", stream(L"C:\\d\\tool.exe", L"ZONE.identifier")},
        {L"C:\\d:p.vbs", stream(L"C:\\d", L"p.vbs")},  // a stream of a folder
        {L"\\\\server\\share\\x:y", stream(L"\\\\server\\share\\x", L"y")},
        {L"C:tool.exe", data(L"C:tool.exe")},
        {L"C:tool.exe::$DATA", data(L"C:tool.exe")},
        {L"\\\\?\\C:\\d\\tool.exe::$DATA", data(L"\\\\?\\C:\\d\\tool.exe")},
        {L"C:\\a:b\\tool.exe", data(L"C:\\a:b\\tool.exe")},
        {L"", data(L"")},
    };
    for (const Case& c : cases) {
        const std::optional<ReportedStream> designated = SplitReportedName(c.reported);
        ASSERT_EQ(designated.has_value(), c.designated.has_value()) << c.reported;
        if (designated) {
            EXPECT_EQ(designated->file, c.designated->file) << c.reported;
            EXPECT_EQ(designated->stream, c.designated->stream) << c.reported;
        }
    }
    for (const wchar_t* no_stream :
         {L"C:\\d\\tool.exe::$DATAx", L"C:\\d::$INDEX_ALLOCATION", L"C:\\d\\tool.exe:s:$BITMAP",
          L"C:\\d\\tool.exe:p.vbs:", L"C:\\d\\tool.exe:a:b:$DATA", L"C:\\d\\tool.exe:a:b:c"}) {
        EXPECT_EQ(SplitReportedName(no_stream), std::nullopt) << no_stream;
    }
    EXPECT_TRUE(IsSameStreamName(L"zone.IDENTIFIER", L"Zone.Identifier"));
    EXPECT_FALSE(IsSameStreamName(L"Zone.Identifier ", L"Zone.Identifier"));
}

// Every name opened is exact, any length; those resolved against the host's folder or drive are refused.
TEST(ReportedName, FilesAreReachedByTheirExactExtendedName) {
    struct Case {
        std::wstring reported;
        std::optional<std::wstring> folder;
        std::wstring leaf = {};
    };
    const std::wstring deep(40, L'd');
    std::wstring long_path = L"C:";
    for (int i = 0; i < 20; ++i) {
        long_path += L"\\" + deep;  // 822 units: far beyond MAX_PATH
    }
    const Case cases[] = {
        {L"C:\\dl\\x.exe", L"\\\\?\\C:\\dl", L"x.exe"},
        {L"C:\\dl\\x.exe.", L"\\\\?\\C:\\dl", L"x.exe."},
        {L"C:\\dl\\x.exe  ", L"\\\\?\\C:\\dl", L"x.exe  "},
        {L"C:\\dl\\nul", L"\\\\?\\C:\\dl", L"nul"},
        {L"c:/dl//sub/./../con.txt", L"\\\\?\\c:\\dl", L"con.txt"},
        {L"C:\\..\\..\\x.exe", L"\\\\?\\C:\\", L"x.exe"},
        {L"C:\\x.exe", L"\\\\?\\C:\\", L"x.exe"},
        {L"\\\\server\\share\\dl\\x.exe.", L"\\\\?\\UNC\\server\\share\\dl", L"x.exe."},
        {L"//server/share/x.exe", L"\\\\?\\UNC\\server\\share\\", L"x.exe"},
        {L"\\\\server\\share\\..\\..\\x.exe", L"\\\\?\\UNC\\server\\share\\", L"x.exe"},
        {L"\\\\.\\C:\\dl\\com1.exe", L"\\\\?\\C:\\dl", L"com1.exe"},
        {L"//?/C:/dl/x.exe", L"\\\\?\\C:\\dl", L"x.exe"},
        {L"\\\\.\\unc\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\", L"x"},
        {L"\\\\?\\C:\\dl\\.\\x.exe.", L"\\\\?\\C:\\dl\\.", L"x.exe."},  // extended names as they are
        {L"\\\\?\\C:\\x", L"\\\\?\\C:\\", L"x"},
        {L"\\??\\C:\\dl\\x.exe", L"\\\\?\\C:\\dl", L"x.exe"},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\UNC\\server\\share", L"x"},
        {long_path + L"\\x.exe", L"\\\\?\\" + long_path, L"x.exe"},
    };
    for (const Case& c : cases) {
        const std::optional<FileLocation> location = LocateFile(c.reported);
        ASSERT_EQ(location.has_value(), c.folder.has_value()) << c.reported;
        if (location) {
            EXPECT_EQ(location->folder, *c.folder) << c.reported;
            EXPECT_EQ(location->leaf, c.leaf) << c.reported;
            EXPECT_LE(ExactName(*location).size(), kMaxExactNameLength);
        }
    }
    // Not fully qualified, another device, no file name, too long.
    for (const wchar_t* refused :
         {L"x.exe", L"dl\\x.exe", L"C:x.exe", L"\\dl\\x.exe", L"\\\\.\\pipe\\x", L"\\\\.\\PhysicalDrive0",
          L"\\\\server", L"\\\\server\\share", L"\\\\server\\\\x.exe", L"C:\\dl\\", L"C:\\dl\\..", L"\\\\?\\C:",
          L"\\\\?\\C:\\dl\\", L""}) {
        EXPECT_EQ(LocateFile(refused), std::nullopt) << refused;
    }
    EXPECT_EQ(LocateFile(L"C:\\" + std::wstring(kMaxExactNameLength, L'x')), std::nullopt);
    EXPECT_EQ(ExactName(*LocateFile(L"C:\\x.exe")), L"\\\\?\\C:\\x.exe");
    EXPECT_EQ(ExactName(*LocateFile(L"C:\\dl\\x.exe ")), L"\\\\?\\C:\\dl\\x.exe ");
    EXPECT_EQ(VolumeOfName(LocateFile(L"C:\\dl\\x.exe")->folder), L"\\\\?\\C:");  // by name: any serial may be told
    EXPECT_EQ(VolumeOfName(LocateFile(L"C:\\x.exe")->folder), L"\\\\?\\C:");
    EXPECT_EQ(VolumeOfName(LocateFile(L"\\\\server\\share\\dl\\x.exe")->folder), L"\\\\?\\UNC\\server\\share");
}

// CR LF reads as LF, a byte as its character; 0x1A ends the text; a part ends at its last line end.
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
    EXPECT_EQ(EncodeStreamText(L"A=\x0416\x2028\xFF\r\n\0B"s), "A=??\xFF\r\r\n\0B"s);  // LF as CR LF, above 0xFF as ?
}

// The readings stored streams rely on (random texts below hold the rest), on lines of any length.
TEST(StreamValue, FollowsThePatternsReadingOnLinesOfAnyLength) {
    EXPECT_EQ(FindStreamValue(L"Key=sftp", L"Key"), L"ftp");
    EXPECT_EQ(FindStreamValue(L"Key=\nKey=\rKey=2\nKey=3", L"Key"), L"2");
    EXPECT_EQ(FindStreamValue(L"a(=1", L"a("), L"1");
    EXPECT_EQ(FindStreamValue(L"ab=1", L"a."), std::nullopt);
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

// The matcher, replacement and setting against the pattern engine, on the characters that matter.
TEST(StreamValue, AgreesWithThePatternEngineOnRandomTexts) {
    const std::wstring alphabet = L"Kes==ssss\r\n\n$a\x2028\x2029\x1A";
    const std::wstring keys[] = {L"", L"K", L"Ke", L"KeK", L"s", L"ss", L"=", L"e=", L"K.", L"s*", L"(K)|e", L")|("};
    std::mt19937 random(20240611);
    const auto letters = [&](std::size_t most) {
        std::wstring drawn;
        for (std::size_t i = random() % (most + 1); i > 0; --i) {
            drawn.push_back(alphabet[random() % alphabet.size()]);
        }
        return drawn;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::wstring text = letters(24);
        const std::wstring value = letters(4);
        const std::wstring& key = keys[static_cast<std::size_t>(round) % std::size(keys)];
        ASSERT_EQ(FindStreamValue(text, key), ReferenceValue(text, key)) << text << L" / " << key;
        ASSERT_EQ(ReplaceStreamValues(text, key, value), ReferenceReplace(text, key, value)) << text << L" / " << key;
        const std::size_t max_bytes = random() % 41;
        std::wstring set = text;
        SetStreamValue(set, key, value, max_bytes);
        ASSERT_EQ(set, ReferenceSet(text, key, value, max_bytes)) << text << L" / " << key << L" / " << max_bytes;
    }
}

}  // namespace
}  // namespace varnok
