// The file age test: only files created within the last day are scanned.
#pragma once

#include <cstdint>
#include <optional>

namespace varnok {

inline constexpr std::int32_t kRecentFileSeconds = 86400;

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// A Windows file time (100-nanosecond intervals since 1601-01-01 UTC, as one 64-bit number) in whole
// seconds since 1970-01-01 UTC, truncated toward zero; negative before 1970.
constexpr std::int64_t FileTimeToUnixTime(std::uint64_t date) {
    return static_cast<std::int64_t>(date - kUnixEpochAsFileTime) / 10000000;
}

// 1 when the creation lies at most one day before now, else 0. The difference is kept as its low
// 32 bits taken as a signed number, so a creation later than now (or about 68 years or more
// before it) can count as recent; the driver and stored results rely on this exact rule.
constexpr std::int32_t IsRecentCreation(std::uint64_t now, std::uint64_t created) {
    const auto difference = static_cast<std::uint64_t>(FileTimeToUnixTime(now) - FileTimeToUnixTime(created));
    const auto seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(difference));
    return seconds > kRecentFileSeconds ? 0 : 1;
}

#ifdef _WIN32
// The current time as a file time, from the system's clock in UTC.
std::uint64_t CurrentFileTime();

// 1 when the file, created at that time, counts as recent now, else 0. A file whose creation time
// could not be read (nothing) counts as recent.
std::int32_t IsFileRecent(std::optional<std::uint64_t> creation_time);
#endif

}  // namespace varnok
