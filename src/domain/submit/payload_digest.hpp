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

// The output digest of a printer-language label: SHA-256 over "raw:", the format word, ":",
// the label's length as 8 bytes little-endian, the bytes, the queue name, the media token,
// dpi, copies (as above) and one byte for "printer_settings": "allow". A PNG starts with a
// byte no format word has, so no label of one kind has the digest of the other.
[[nodiscard]] std::string compute_raw_payload_sha256(std::string_view format,
                                                     std::span<const std::uint8_t> label,
                                                     std::string_view printer,
                                                     const std::optional<std::string>& media,
                                                     std::uint32_t dpi, std::uint16_t copies,
                                                     bool printer_settings_allowed);

}  // namespace vantrel
