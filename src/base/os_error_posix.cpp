#include <cstring>

#include "base/os_error.hpp"

namespace vantrel {

// The C library's own description of an errno value ("Unknown error N" for one it does not
// know); no lookup can fail here.
std::expected<std::string, std::uint32_t> describe_os_error(std::uint32_t code) {
  return std::string(std::strerror(static_cast<int>(code)));
}

}  // namespace vantrel
