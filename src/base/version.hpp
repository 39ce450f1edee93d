#pragma once

#include <string_view>

namespace vantrel {

// The host's version, set once in the CMake project (VANTREL_VERSION): hello, the bridge
// status and the executable's version resource report it.
inline constexpr std::string_view HOST_VERSION = VANTREL_VERSION;

}  // namespace vantrel
