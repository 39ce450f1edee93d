#pragma once

#include <chrono>
#include <cstdint>

namespace vantrel {

// The Windows clocks' units, converted by rules the native tests can check.

// 100-ns ticks since 1601 to ms since 1970, truncating; 0 before 1970.
[[nodiscard]] constexpr std::uint64_t unix_ms_from_file_time(std::uint64_t ticks) {
  constexpr std::uint64_t UNIX_EPOCH_TICKS = 116'444'736'000'000'000;
  if (ticks < UNIX_EPOCH_TICKS) return 0;
  const std::uint64_t since_epoch = ticks - UNIX_EPOCH_TICKS;
  return since_epoch / 10'000'000 * 1000 + since_epoch % 10'000'000 / 10'000;
}

// A waitable timer's relative due time counts 100-ns units; round up so a pause never ends early.
[[nodiscard]] constexpr std::int64_t pause_in_100ns_units(std::chrono::nanoseconds duration) {
  return duration.count() <= 0 ? 0 : (duration.count() + 99) / 100;
}

// Sleep counts whole milliseconds; round up for the same reason.
[[nodiscard]] constexpr std::uint32_t pause_in_whole_ms(std::chrono::nanoseconds duration) {
  return duration.count() <= 0
             ? 0
             : static_cast<std::uint32_t>((duration.count() + 999'999) / 1'000'000);
}

}  // namespace vantrel
