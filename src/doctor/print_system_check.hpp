#pragma once

#include <string>

#include "doctor/doctor_report.hpp"
#include "doctor/doctor_system.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// Which CUPS scheduler the host reaches and what chose it, as libcups chooses: CUPS_SERVER,
// then ServerName in ~/.cups/client.conf, then in /etc/cups/client.conf, else the local one.
// A host inherits the browser's environment, so the browser's CUPS_SERVER counts.
[[nodiscard]] std::string cups_scheduler_source(DoctorSystem& system);

// Whether the print system answers, with how many queues and which default (and on Linux,
// which scheduler, from where): a host can print only when it lists at least one queue.
[[nodiscard]] DoctorCheck check_print_system(PrintSystem& printing, DoctorSystem& system);

}  // namespace vantrel
