#include "reported_name.h"

#include <gtest/gtest.h>

namespace varnok {
namespace {

// A name of the file's data, in any spelling, is the file's; a name of a named stream is that stream of
// its file, with or without its type; a name of any other type, or with more colons than a stream and
// its type take, names no stream that can hold data. Drives and device prefixes are no streams.
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
        {L"C:\\d\\tool.exe::$DATAx", std::nullopt},
        {L"C:\\d::$INDEX_ALLOCATION", std::nullopt},
        {L"C:\\d\\tool.exe:s:$BITMAP", std::nullopt},
        {L"C:\\d\\tool.exe:p.vbs:", std::nullopt},
        {L"C:\\d\\tool.exe:a:b:$DATA", std::nullopt},
        {L"C:\\d\\tool.exe:a:b:c", std::nullopt},
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
    EXPECT_TRUE(IsSameStreamName(L"zone.IDENTIFIER", L"Zone.Identifier"));
    EXPECT_FALSE(IsSameStreamName(L"Zone.Identifier ", L"Zone.Identifier"));
}

// Every name the library opens is exact: Win32 passes it to the file system as it is, so what the
// driver named is what is opened, with its trailing dots and spaces, device-like names and any
// length; names that would be resolved against the host's own folder or drive, or that name
// another device, are refused.
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
        // Extended names are taken as they are; the kernel's spelling is the same name.
        {L"\\\\?\\C:\\dl\\.\\x.exe.", L"\\\\?\\C:\\dl\\.", L"x.exe."},
        {L"\\\\?\\C:\\x", L"\\\\?\\C:\\", L"x"},
        {L"\\??\\C:\\dl\\x.exe", L"\\\\?\\C:\\dl", L"x.exe"},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\UNC\\server\\share", L"x"},
        {long_path + L"\\x.exe", L"\\\\?\\" + long_path, L"x.exe"},
        // Not fully qualified, another device, no file name, too long.
        {L"x.exe", std::nullopt},
        {L"dl\\x.exe", std::nullopt},
        {L"C:x.exe", std::nullopt},
        {L"\\dl\\x.exe", std::nullopt},
        {L"\\\\.\\pipe\\x", std::nullopt},
        {L"\\\\.\\PhysicalDrive0", std::nullopt},
        {L"\\\\server", std::nullopt},
        {L"\\\\server\\share", std::nullopt},
        {L"\\\\server\\\\x.exe", std::nullopt},
        {L"C:\\dl\\", std::nullopt},
        {L"C:\\dl\\..", std::nullopt},
        {L"\\\\?\\C:", std::nullopt},
        {L"\\\\?\\C:\\dl\\", std::nullopt},
        {L"", std::nullopt},
        {L"C:\\" + std::wstring(kMaxExactNameLength, L'x'), std::nullopt},
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
    EXPECT_EQ(ExactName(*LocateFile(L"C:\\x.exe")), L"\\\\?\\C:\\x.exe");
    EXPECT_EQ(ExactName(*LocateFile(L"C:\\dl\\x.exe ")), L"\\\\?\\C:\\dl\\x.exe ");
    // The volume that a name reaches is told by its name too: a server can report any serial.
    EXPECT_EQ(VolumeOfName(LocateFile(L"C:\\dl\\x.exe")->folder), L"\\\\?\\C:");
    EXPECT_EQ(VolumeOfName(LocateFile(L"C:\\x.exe")->folder), L"\\\\?\\C:");
    EXPECT_EQ(VolumeOfName(LocateFile(L"\\\\server\\share\\dl\\x.exe")->folder), L"\\\\?\\UNC\\server\\share");
}

}  // namespace
}  // namespace varnok
