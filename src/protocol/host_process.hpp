#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "domain/printing/print_system.hpp"
#include "protocol/standard_streams.hpp"

namespace vantrel {

// The whole process of either host over its print system: the standard streams, the state
// over the system's files, the watchdogs and the diagnostics log composed, then messages served
// until input ends. The exit status of run_host. The other modes of the process (--doctor,
// --help, --version) are chosen above, in doctor/command_line.hpp.
[[nodiscard]] int run_host_process(const std::vector<std::string>& arguments,
                                   std::string_view platform, PrintSystem& print_system);

}  // namespace vantrel
