#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "domain/doctor/doctor_report.hpp"
#include "domain/doctor/doctor_system.hpp"
#include "domain/doctor/host_start.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/state/state_files.hpp"

namespace vantrel {

// The longest any check but a host's start may take: a hung network folder, registry or print
// system costs its line, not the whole report.
inline constexpr std::chrono::seconds DOCTOR_CHECK_LIMIT{5};

struct DoctorLimits {
  std::chrono::milliseconds host_answer = HOST_ANSWER_LIMIT;
  std::chrono::milliseconds check = DOCTOR_CHECK_LIMIT;
};

// What the doctor looks at: the browsers' view of the system, the state's files and the print
// system, as the host itself uses them; and the version the started hosts must answer with.
struct DoctorServices {
  DoctorSystem& system;
  StateFiles& files;
  PrintSystem& printing;
  std::string_view version;
  // The extensions the user means: every registration must allow them (none: not asked).
  std::vector<std::string> extensions{};
  DoctorLimits limits{};
};

struct DoctorRun {
  DoctorReport report;
  // A check passed its limit and still runs on a thread of its own, on the services: the
  // process must end without tearing them down.
  bool left_running = false;
};

// Every check in turn: each browser's registration, each distinct start of the host as those
// browsers start it, the state folder with its lock and ledger, the print system, the log.
[[nodiscard]] DoctorRun run_doctor(const DoctorServices& services);

}  // namespace vantrel
