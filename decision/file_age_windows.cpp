#include "file_age.h"

namespace varnok {
namespace {

std::uint64_t JoinFileTime(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

std::int64_t FileTimeToUnixTime(FILETIME time) { return FileTimeToUnixTime(JoinFileTime(time)); }

std::int32_t IsRecentCreation(const FILETIME& now, const FILETIME& created) {
    return IsRecentCreation(JoinFileTime(now), JoinFileTime(created));
}

std::int32_t IsFileRecent(HANDLE h_file) {
    SYSTEMTIME sys_time{};
    FILETIME c_time{};
    ::GetSystemTime(&sys_time);
    ::SystemTimeToFileTime(&sys_time, &c_time);

    FILETIME ft_create{};
    FILETIME ft_access{};
    FILETIME ft_write{};
    if (!::GetFileTime(h_file, &ft_create, &ft_access, &ft_write)) {
        return 1;
    }
    return IsRecentCreation(c_time, ft_create);
}

}  // namespace varnok
