#include "base/identifier.hpp"

#include <string>

namespace vantrel {

bool is_valid_identifier(std::string_view text, std::size_t max_len) noexcept {
  if (text.empty() || text.size() > max_len) return false;
  for (unsigned char c : text) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '.' && c != ':' && c != '_') return false;
  }
  return true;
}

HostError unsupported_characters(std::string_view key) {
  std::string message(key);
  message += " contains unsupported characters.";
  return HostError{ErrorCode::BAD_REQUEST, std::move(message)};
}

}  // namespace vantrel
