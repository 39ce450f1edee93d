#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vantrel {

// The system's own description of an error code, or the lookup's error code when it has none.
// Defined once per platform (os_error_win32.cpp asks FormatMessageW).
[[nodiscard]] std::expected<std::string, std::uint32_t> describe_os_error(std::uint32_t code);

// "<description> (os error N)", with the "OS Error N (FormatMessageW() returned error M)"
// fallback; trailing white space and line breaks of the description removed.
[[nodiscard]] std::string compose_os_error_text(
    std::uint32_t code, const std::expected<std::string, std::uint32_t>& description);

[[nodiscard]] std::string os_error_text(std::uint32_t code);

// A catalogue message that reports a system failure: the fixed text, ": " unless it already
// ends with one, then the OS error text.
[[nodiscard]] std::string os_error_message(std::string_view fixed_text, std::uint32_t code);

}  // namespace vantrel
