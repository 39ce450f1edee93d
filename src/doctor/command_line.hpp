#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "domain/printing/print_system.hpp"

namespace vantrel {

// The process's mode, chosen by an exact first argument only (browsers pass an origin or a
// manifest's path there): "--doctor [--json] [--extension ID]... [--chromium-profile DIR]" the
// doctor's report (0 when every check passed, 1 otherwise, 2 for a wrong option), "--help"
// the usage, "--version" the version, both on standard output with status 0; anything else the
// host (run_host_process).
[[nodiscard]] int run_command_line(const std::vector<std::string>& arguments,
                                   std::string_view platform, PrintSystem& print_system);

// What --help prints.
[[nodiscard]] std::string usage_text();

}  // namespace vantrel
