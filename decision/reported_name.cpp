// What a reported name designates, and the exact extended-length name that reaches it.
#include "reported_name.h"

#include <algorithm>
#include <array>
#include <utility>

namespace varnok {
namespace {

constexpr std::wstring_view kDataStreamType = L"$DATA";

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t ToAsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Where the last component of the name begins: after its last separator, and after a drive that
// begins the name or follows a device prefix (the colon of "C:" names no stream).
std::size_t LastComponent(std::wstring_view name) {
    const std::size_t separator = name.find_last_of(L"\\/");
    const std::size_t start = separator == std::wstring_view::npos ? 0 : separator + 1;
    constexpr std::array<std::wstring_view, 3> kDevicePrefixes = {L"\\\\?\\", L"\\\\.\\", L"\\??\\"};
    const std::wstring_view before = name.substr(0, start);
    const bool drive_may_follow =
        before.empty() || before == kDevicePrefixes[0] || before == kDevicePrefixes[1] || before == kDevicePrefixes[2];
    if (drive_may_follow && name.size() >= start + 2 && IsAsciiLetter(name[start]) && name[start + 1] == L':') {
        return start + 2;
    }
    return start;
}

}  // namespace

bool IsSameStreamName(std::wstring_view left, std::wstring_view right) {
    return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin(), [](wchar_t a, wchar_t b) {
               return ToAsciiUpper(a) == ToAsciiUpper(b);
           });
}

std::optional<ReportedStream> SplitReportedName(std::wstring_view reported_name) {
    const std::size_t colon = reported_name.find(L':', LastComponent(reported_name));
    if (colon == std::wstring_view::npos) {
        return ReportedStream{std::wstring(reported_name), {}};
    }
    // "name:stream" or "name:stream:type".
    const std::wstring_view stream_and_type = reported_name.substr(colon + 1);
    const std::size_t type_colon = stream_and_type.find(L':');
    if (type_colon != std::wstring_view::npos &&
        !IsSameStreamName(stream_and_type.substr(type_colon + 1), kDataStreamType)) {
        return std::nullopt;
    }
    return ReportedStream{std::wstring(reported_name.substr(0, colon)),
                          std::wstring(stream_and_type.substr(0, type_colon))};
}

namespace {

constexpr std::wstring_view kExtendedPrefix = L"\\\\?\\";
constexpr std::wstring_view kKernelPrefix = L"\\??\\";
constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (ToAsciiUpper(text[i]) != ToAsciiUpper(prefix[i])) {
            return false;
        }
    }
    return true;
}

// "C:\" or "C:/" at the start of the text.
bool StartsWithDriveRoot(std::wstring_view text) {
    return text.size() >= 3 && IsAsciiLetter(text[0]) && text[1] == L':' && IsSeparator(text[2]);
}

// The components of a name below its root, as Win32 normalizes them: separators of either kind,
// doubled or not, "." dropped, ".." taking the one before it away but never the root. Everything
// else stays as it is, trailing dots and spaces included.
std::wstring JoinNormalized(std::wstring_view rest) {
    std::wstring joined;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end])) {
            ++end;
        }
        const std::wstring_view component = rest.substr(start, end - start);
        if (component == L"..") {
            const std::size_t last = joined.rfind(L'\\');
            joined.resize(last == std::wstring::npos ? 0 : last);
        } else if (!component.empty() && component != L".") {
            if (!joined.empty()) {
                joined.push_back(L'\\');
            }
            joined.append(component);
        }
        start = end + 1;
    }
    return joined;
}

// Splits root + joined components into folder and leaf; the root keeps its "\" when the file lies
// right in it.
std::optional<FileLocation> SplitLocation(std::wstring root, std::wstring_view below_root) {
    const std::size_t separator = below_root.rfind(L'\\');
    FileLocation location;
    location.leaf = below_root.substr(separator == std::wstring_view::npos ? 0 : separator + 1);
    if (location.leaf.empty() || location.leaf == L"." || location.leaf == L"..") {
        return std::nullopt;
    }
    location.folder = std::move(root);
    if (separator != std::wstring_view::npos) {
        location.folder.append(below_root.substr(0, separator));
    }
    if (ExactName(location).size() > kMaxExactNameLength) {
        return std::nullopt;
    }
    return location;
}

// "server\share\rest" after a UNC prefix of either form: the root "\\?\UNC\server\share\".
std::optional<FileLocation> LocateUnc(std::wstring_view after_prefix) {
    std::size_t server_end = 0;
    while (server_end < after_prefix.size() && !IsSeparator(after_prefix[server_end])) {
        ++server_end;
    }
    std::size_t share_end = server_end + 1;
    while (share_end < after_prefix.size() && !IsSeparator(after_prefix[share_end])) {
        ++share_end;
    }
    if (server_end == 0 || share_end > after_prefix.size() || share_end == server_end + 1) {
        return std::nullopt;
    }
    std::wstring root(kUncPrefix);
    root.append(after_prefix.substr(0, server_end));
    root.push_back(L'\\');
    root.append(after_prefix.substr(server_end + 1, share_end - server_end - 1));
    root.push_back(L'\\');
    return SplitLocation(std::move(root),
                         JoinNormalized(after_prefix.substr(std::min(share_end, after_prefix.size()))));
}

// "C:\rest": the root "\\?\C:\".
std::optional<FileLocation> LocateOnDrive(std::wstring_view name) {
    std::wstring root(kExtendedPrefix);
    root.append(name.substr(0, 2));
    root.push_back(L'\\');
    return SplitLocation(std::move(root), JoinNormalized(name.substr(3)));
}

// An extended-length name, taken as it is; only where its folder is a drive's root does that
// folder get its "\" ("\\?\C:" alone names the volume, not its root folder).
std::optional<FileLocation> LocateExtended(std::wstring_view name) {
    const std::size_t separator = name.rfind(L'\\');
    if (separator < kExtendedPrefix.size()) {
        return std::nullopt;
    }
    FileLocation location{std::wstring(name.substr(0, separator)), std::wstring(name.substr(separator + 1))};
    const std::wstring_view below = std::wstring_view(location.folder).substr(kExtendedPrefix.size());
    if (below.size() == 2 && IsAsciiLetter(below[0]) && below[1] == L':') {
        location.folder.push_back(L'\\');
    }
    if (location.leaf.empty() || name.size() > kMaxExactNameLength) {
        return std::nullopt;
    }
    return location;
}

}  // namespace

std::optional<FileLocation> LocateFile(std::wstring_view name) {
    if (!name.empty() && IsSeparator(name.back())) {
        return std::nullopt;  // a folder's name
    }
    if (name.substr(0, kExtendedPrefix.size()) == kExtendedPrefix) {
        return LocateExtended(name);
    }
    if (name.substr(0, kKernelPrefix.size()) == kKernelPrefix) {
        return LocateExtended(std::wstring(kExtendedPrefix) + std::wstring(name.substr(kKernelPrefix.size())));
    }
    if (StartsWithDriveRoot(name)) {
        return LocateOnDrive(name);
    }
    if (name.size() < 2 || !IsSeparator(name[0]) || !IsSeparator(name[1])) {
        return std::nullopt;  // relative, drive-relative or rooted on the current drive
    }
    // "\\.\" and "\\?" with any separators: a device name, which Win32 normalizes like the rest.
    if (name.size() >= 4 && (name[2] == L'.' || name[2] == L'?') && IsSeparator(name[3])) {
        const std::wstring_view device = name.substr(4);
        if (StartsWithDriveRoot(device)) {
            return LocateOnDrive(device);
        }
        if (StartsWithNoCase(device, L"UNC") && device.size() > 3 && IsSeparator(device[3])) {
            return LocateUnc(device.substr(4));
        }
        return std::nullopt;
    }
    return LocateUnc(name.substr(2));
}

std::wstring_view VolumeOfName(std::wstring_view exact_folder) {
    const std::size_t components = StartsWithNoCase(exact_folder, kUncPrefix) ? 3 : 1;
    std::size_t end = kExtendedPrefix.size();
    for (std::size_t component = 0; component < components && end != std::wstring_view::npos; ++component) {
        end = exact_folder.find(L'\\', end + (component == 0 ? 0 : 1));
    }
    return exact_folder.substr(0, end);
}

std::wstring ExactName(const FileLocation& location) {
    std::wstring name = location.folder;
    if (name.empty() || name.back() != L'\\') {
        name.push_back(L'\\');
    }
    name.append(location.leaf);
    return name;
}

}  // namespace varnok
