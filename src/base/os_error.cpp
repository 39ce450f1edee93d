#include "base/os_error.hpp"

namespace vantrel {

std::string compose_os_error_text(std::uint32_t code,
                                  const std::expected<std::string, std::uint32_t>& description) {
  std::string text;
  if (description) {
    text = *description;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
      text.pop_back();
    }
  } else {
    text = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(description.error()) + ")";
  }
  return text + " (os error " + std::to_string(code) + ")";
}

std::string os_error_text(std::uint32_t code) {
  return compose_os_error_text(code, describe_os_error(code));
}

std::string os_error_message(std::string_view fixed_text, std::uint32_t code) {
  std::string message(fixed_text);
  if (!message.ends_with(": ")) message += ": ";
  return message + os_error_text(code);
}

}  // namespace vantrel
