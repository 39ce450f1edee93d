#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace vantrel {

inline constexpr std::uint32_t MAX_MESSAGE_LEN = 8'388'608;

// A failed stream call: the system's error code.
struct StreamFailure {
  std::uint32_t os_error = 0;
};

// Standard input as raw bytes. read returns how many bytes arrived (0 = end of input); it may
// return fewer than asked for.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual std::expected<std::size_t, StreamFailure> read(
      std::span<std::uint8_t> buffer) = 0;
};

// Standard output as raw bytes. write returns how many bytes were accepted.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual std::expected<std::size_t, StreamFailure> write(
      std::span<const std::uint8_t> bytes) = 0;
  [[nodiscard]] virtual std::expected<void, StreamFailure> flush() = 0;
};

// One request body, or std::nullopt at a clean end of input (before any length byte).
[[nodiscard]] Result<std::optional<std::vector<std::uint8_t>>> read_native_message(
    ByteSource& input);

// Writes every byte, a write at a time, without flushing.
[[nodiscard]] Status write_all(ByteSink& output, std::span<const std::uint8_t> bytes);

// Frames and writes one answer, then flushes once.
[[nodiscard]] Status write_native_message(ByteSink& output, std::span<const std::uint8_t> body);

}  // namespace vantrel
