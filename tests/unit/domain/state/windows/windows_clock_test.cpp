#include "domain/state/windows/windows_clock.hpp"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

TEST(WindowsClock, FileTimeTicksBecomeUnixMillisecondsTruncating) {
  constexpr std::uint64_t EPOCH = 116'444'736'000'000'000;
  EXPECT_EQ(unix_ms_from_file_time(0), 0u);
  EXPECT_EQ(unix_ms_from_file_time(EPOCH - 1), 0u);
  EXPECT_EQ(unix_ms_from_file_time(EPOCH + 9'999), 0u);
  EXPECT_EQ(unix_ms_from_file_time(EPOCH + 10'000), 1u);
  // 2024-01-01T00:00:00.999Z plus 9,999 ticks.
  EXPECT_EQ(unix_ms_from_file_time(EPOCH + 1'704'067'200'999ull * 10'000 + 9'999),
            1'704'067'200'999u);
  EXPECT_EQ(unix_ms_from_file_time(UINT64_MAX), (UINT64_MAX - EPOCH) / 10'000);
}

TEST(WindowsClock, PausesRoundUpSoNoneEndsEarly) {
  EXPECT_EQ(pause_in_100ns_units(25ms), 250'000);
  EXPECT_EQ(pause_in_100ns_units(101ns), 2);
  EXPECT_EQ(pause_in_100ns_units(0ns), 0);
  EXPECT_EQ(pause_in_whole_ms(25ms), 25u);
  EXPECT_EQ(pause_in_whole_ms(24'000'001ns), 25u);
  EXPECT_EQ(pause_in_whole_ms(1ns), 1u);
  EXPECT_EQ(pause_in_whole_ms(-5ns), 0u);
}

}  // namespace
}  // namespace vantrel
