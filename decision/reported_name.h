// What a file name reported by the driver designates, for reading its streams and its age. Free of
// windows.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnok {

// The name through which the streams ("Zone.Identifier", "SmartScreen", "varnok") and the age of
// a reported name are read:
// - a file's name ("C:\dir\tool.exe") is that name itself;
// - a name of the file's default data stream ("tool.exe::$DATA", the type in any case, or
//   "tool.exe:") is the file's own name ("tool.exe"), since those streams and that age are the
//   file's; a stream name appended to the reported name would be no valid name at all;
// - a name of any other stream ("tool.exe:other", "tool.exe:other:$DATA", the browser's own
//   "tool.exe:Zone.Identifier"), or of another stream type, has none: nothing. Such a name is
//   handled as one without download-origin streams, so that what is written to one stream of a
//   file never reads, scans for or records a result in the place of the file itself.
// Only the last component of the name is looked at (after the last "\" or "/", and after a drive
// such as "C:" that begins the name or follows a "\\?\", "\\.\" or "\??\" prefix).
std::optional<std::wstring> StreamOwnerName(std::wstring_view reported_name);

}  // namespace varnok
