#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.hpp"

namespace vantrel {

// The identifier rule shared by "request_id" and "intent_id": 1..max_len bytes of ASCII letters,
// digits, "-", ".", ":" and "_".
inline constexpr std::size_t MAX_INTENT_ID_LEN = 160;

[[nodiscard]] bool is_valid_identifier(std::string_view text, std::size_t max_len) noexcept;

// "<key> contains unsupported characters."
[[nodiscard]] HostError unsupported_characters(std::string_view key);

}  // namespace vantrel
