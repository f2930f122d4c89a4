#include <gtest/gtest.h>

#include "status.h"

namespace varnok {
namespace {

TEST(HResultFromWin32, MapsWin32CodesAndPassesHResultsThrough) {
    EXPECT_EQ(HResultFromWin32(0), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(5)), 0x80070005u);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(997)), 0x800703E5u);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(995)), 0x800703E3u);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(0x801F0020u)), 0x801F0020u);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(0x12345678u)), 0x80075678u);
}

}  // namespace
}  // namespace varnok
