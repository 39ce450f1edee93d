#pragma once

#include "domain/doctor/doctor_report.hpp"
#include "domain/doctor/doctor_system.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// Whether the print system answers, with how many queues and which default: a host can print
// only when it lists at least one queue.
[[nodiscard]] DoctorCheck check_print_system(PrintSystem& system, BrowserPlatform platform);

}  // namespace vantrel
