// What a file name reported by the driver designates, and how the library reaches exactly that
// file. Free of windows.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnok {

// What a reported name designates: a file's data, or one of the file's named streams. Either way
// the file's streams ("Zone.Identifier", "SmartScreen", "varnok") and its age are the file's own:
// - a file's name ("C:\dir\tool.exe"), "tool.exe:" and a name of its default data stream
//   ("tool.exe::$DATA", the type in any case) designate the file's data;
// - "tool.exe:p.vbs" and "tool.exe:p.vbs:$DATA" designate the stream "p.vbs" of the file;
// - nothing for a stream of another type ("tool.exe::$INDEX_ALLOCATION", "tool.exe:s:$BITMAP"), an
//   empty type, or more colons than a stream's name and its type take ("tool.exe:a:b:$DATA"), none of
//   which names a stream that can hold data.
// Only the last component of the name is looked at (after the last "\" or "/", and after a drive
// such as "C:" that begins the name or follows a "\\?\", "\\.\" or "\??\" prefix).
struct ReportedStream {
    std::wstring file;    // the file's own name: "C:\dir\tool.exe"
    std::wstring stream;  // the stream's name, "p.vbs"; empty for the file's data
};
std::optional<ReportedStream> SplitReportedName(std::wstring_view reported_name);

// Whether two stream names are one, told apart without regard to case, as the file system does for
// the letters of ASCII.
bool IsSameStreamName(std::wstring_view left, std::wstring_view right);

// Where a file lies, in the form that Win32 hands to the file system as it is: the extended-length
// form ("\\?\C:\dl", "\\?\UNC\server\share\dl"), in which Win32 neither drops a trailing dot or
// space from a name, nor turns a name such as "nul" or "com1.exe" into a device, nor refuses a
// name longer than MAX_PATH.
struct FileLocation {
    std::wstring folder;  // "\\?\C:\dl"; a volume's or share's root keeps its "\": "\\?\C:\"
    std::wstring leaf;    // the file's name in that folder, as reported: "x.exe.", "nul"
};

// The longest name that Win32 passes to the file system, in UTF-16 code units.
inline constexpr std::size_t kMaxExactNameLength = 32767;

// Where the file of a name that SplitReportedName gave lies. Accepted, as Win32 reads them except
// for the rewrites above:
// - a drive's absolute name ("C:\dl\x.exe") and a UNC name ("\\server\share\x.exe"), with "/"
//   read as "\", doubled separators and "." components dropped and ".." taking the component
//   before it away (never the drive or the share), as Win32 does;
// - the same behind the device prefix "\\.\" (or "//./", "\\?/"...): "\\.\C:\dl\x.exe",
//   "\\.\UNC\server\share\x.exe";
// - an extended-length name ("\\?\..."), and its kernel spelling ("\??\..."), taken as they are.
// Nothing for every other name: one that is not fully qualified ("x.exe", "C:x.exe", "\dl\x.exe"),
// would be resolved against the host's current folder or drive, and one of another device
// ("\\.\pipe\x", "\\.\PhysicalDrive0") is no file. Nothing either for a name without a file name
// at its end, or longer than kMaxExactNameLength in the extended form.
std::optional<FileLocation> LocateFile(std::wstring_view owner_name);

// The part of an exact folder name (FileLocation::folder) that names its volume: "\\?\C:",
// "\\?\UNC\server\share", "\\?\Volume{...}".
std::wstring_view VolumeOfName(std::wstring_view exact_folder);

// The file's full name in the extended-length form: folder, "\" where needed, leaf.
std::wstring ExactName(const FileLocation& location);

}  // namespace varnok
