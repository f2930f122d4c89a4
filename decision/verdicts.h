// Verdicts the library sends on its own account; every other value is the host's scan result.
#pragma once

#include <cstdint>

namespace varnok {

inline constexpr std::int32_t kVerdictNoOrigin = 0;
inline constexpr std::int32_t kVerdictNoScan = 2;  // no scan needed or none possible; as a result: clean

}  // namespace varnok
