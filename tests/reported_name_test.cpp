#include "reported_name.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

TEST(ReportedName, DefaultStreamReadsThroughItsFileAndOtherStreamsHaveNone) {
    struct Case {
        const wchar_t* reported;
        std::optional<std::wstring> owner;
    };
    const Case cases[] = {
        {L"C:\\d\\tool.exe", L"C:\\d\\tool.exe"},
        {L"C:\\d\\tool.exe::$DATA", L"C:\\d\\tool.exe"},
        {L"C:\\d\\tool.exe::$DaTa", L"C:\\d\\tool.exe"},
        {L"C:\\d\\tool.exe:", L"C:\\d\\tool.exe"},
        {L"C:\\d\\tool.exe:other", std::nullopt},
        {L"C:\\d\\tool.exe:other:$DATA", std::nullopt},
        {L"C:\\d\\tool.exe:Zone.Identifier", std::nullopt},
        {L"C:\\d\\tool.exe::$DATAx", std::nullopt},
        {L"C:\\d::$INDEX_ALLOCATION", std::nullopt},
        // Drives, device prefixes and other separators are no streams.
        {L"C:tool.exe", L"C:tool.exe"},
        {L"C:tool.exe::$DATA", L"C:tool.exe"},
        {L"\\\\?\\C:\\d\\tool.exe::$DATA", L"\\\\?\\C:\\d\\tool.exe"},
        {L"C:\\a:b\\tool.exe", L"C:\\a:b\\tool.exe"},
        {L"\\\\server\\share\\x:y", std::nullopt},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StreamOwnerName(c.reported), c.owner) << c.reported;
    }
}

}  // namespace
}  // namespace varnok
