#include "protocol/channel.hpp"

#include <array>
#include <string>

#include "base/os_error.hpp"

namespace vantrel {
namespace {

std::unexpected<HostError> read_failure(std::string reason) {
  return fail(ErrorCode::IO_ERROR, "Cannot read native message: " + reason);
}

std::unexpected<HostError> write_failure(std::string reason) {
  return fail(ErrorCode::IO_ERROR, "Cannot write native response: " + reason);
}

// Fills buffer completely; returns how many bytes arrived before end of input.
std::expected<std::size_t, StreamFailure> fill(ByteSource& input, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const auto got = input.read(buffer.subspan(filled));
    if (!got) return std::unexpected(got.error());
    if (*got == 0) break;
    filled += *got;
  }
  return filled;
}

}  // namespace

Result<std::optional<std::vector<std::uint8_t>>> read_native_message(ByteSource& input) {
  std::array<std::uint8_t, 4> prefix{};
  const auto prefix_read = fill(input, prefix);
  if (!prefix_read) return read_failure(os_error_text(prefix_read.error().os_error));
  if (*prefix_read == 0) return std::nullopt;
  if (*prefix_read < prefix.size()) return read_failure("truncated native message length");

  const std::uint32_t length = std::uint32_t{prefix[0]} | (std::uint32_t{prefix[1]} << 8) |
                               (std::uint32_t{prefix[2]} << 16) | (std::uint32_t{prefix[3]} << 24);
  // Checked before anything is allocated, so an absurd length costs nothing.
  if (length == 0 || length > MAX_MESSAGE_LEN) {
    return read_failure("native message length is outside the allowed range");
  }

  std::vector<std::uint8_t> body(length);
  const auto body_read = fill(input, body);
  if (!body_read) return read_failure(os_error_text(body_read.error().os_error));
  if (*body_read < length) return read_failure("failed to fill whole buffer");
  return body;
}

Status write_all(ByteSink& output, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const auto accepted = output.write(bytes);
    if (!accepted) return write_failure(os_error_text(accepted.error().os_error));
    if (*accepted == 0) return write_failure("failed to write whole buffer");
    bytes = bytes.subspan(*accepted);
  }
  return {};
}

Status write_native_message(ByteSink& output, std::span<const std::uint8_t> body) {
  if (body.size() > 0xFFFF'FFFFu) return write_failure("response too large");
  const auto length = static_cast<std::uint32_t>(body.size());
  const std::array<std::uint8_t, 4> prefix{
      static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};

  for (std::span<const std::uint8_t> part : {std::span<const std::uint8_t>(prefix), body}) {
    if (const Status written = write_all(output, part); !written) return written;
  }
  if (const auto flushed = output.flush(); !flushed) {
    return write_failure(os_error_text(flushed.error().os_error));
  }
  return {};
}

}  // namespace vantrel
