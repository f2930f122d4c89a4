// The file age test on Windows: the system's clock against a file's creation time.
#include "file_age.h"

#include <windows.h>

namespace varnok {

std::uint64_t CurrentFileTime() {
    SYSTEMTIME sys_time{};
    FILETIME c_time{};
    ::GetSystemTime(&sys_time);
    ::SystemTimeToFileTime(&sys_time, &c_time);
    return (static_cast<std::uint64_t>(c_time.dwHighDateTime) << 32) | c_time.dwLowDateTime;
}

std::int32_t IsFileRecent(std::optional<std::uint64_t> creation_time) {
    if (!creation_time) {
        return 1;
    }
    return IsRecentCreation(CurrentFileTime(), *creation_time);
}

}  // namespace varnok
