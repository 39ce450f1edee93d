#include "base/os_error.hpp"

namespace vantrel {

// Native builds have no system message table; report the lookup failure the way Windows does
// when a code has no text (ERROR_MR_MID_NOT_FOUND), which keeps test expectations exact.
std::expected<std::string, std::uint32_t> describe_os_error(std::uint32_t) {
  return std::unexpected(317u);
}

}  // namespace vantrel
