#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vantrel {

// Standard-alphabet Base64 (A-Z, a-z, 0-9, "+", "/") decoded strictly: the text is a whole
// number of four-symbol groups with "=" padding only at the end, no white space, no URL-safe
// symbols, and the unused low bits of the last symbol are zero. Anything else gives nothing.
// The empty text decodes to no bytes.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> decode_base64_strict(std::string_view text);

}  // namespace vantrel
