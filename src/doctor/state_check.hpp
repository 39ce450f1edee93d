#pragma once

#include <cstddef>
#include <vector>

#include "doctor/doctor_report.hpp"
#include "domain/state/state_files.hpp"

namespace vantrel {

// How many of the log's last lines the doctor shows.
inline constexpr std::size_t LOG_LINES_SHOWN = 10;

// The state folder (where, whose), its lock (held by another process right now?) and its ledger
// (readable? attempts by state, and those whose outcome is unknown, which support staff
// reconcile), read as a host reads them. Nothing is written but what opening the lock file
// creates: the lock is tried once and released at once, the ledger and the bridge status are
// left as they are, and a folder that does not exist yet is not made.
[[nodiscard]] std::vector<DoctorCheck> check_state(StateFiles& files);

// The diagnostics log's path and its last lines.
[[nodiscard]] DoctorCheck check_log(StateFiles& files);

}  // namespace vantrel
