#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "doctor/doctor_report.hpp"
#include "doctor/doctor_system.hpp"
#include "doctor/host_start.hpp"
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
  // The extensions the user means, as given (ids or origins): every registration of their
  // browser must let them start the host (none: not asked).
  std::vector<std::string> extensions{};
  DoctorLimits limits{};
  // The folder a Chromium browser was started with as --user-data-dir (Linux).
  std::optional<std::string> chromium_profile{};
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
