#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantrel {

// The output digest of a print attempt: SHA-256 over the PNG bytes, the queue name, the media
// token (nothing when absent), dpi as 4 bytes and copies as 2 bytes little-endian, with no
// separators; 64 lower-case hexadecimal digits. Title and intent_id take no part.
[[nodiscard]] std::string compute_payload_sha256(std::span<const std::uint8_t> png,
                                                 std::string_view printer,
                                                 const std::optional<std::string>& media,
                                                 std::uint32_t dpi, std::uint16_t copies);

}  // namespace vantrel
