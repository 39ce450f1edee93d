#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/print_system.hpp"
#include "domain/state/host_state.hpp"
#include "domain/state/ledger.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

inline constexpr const char* OBSERVE_JOB_WATCHDOG_LABEL = "observe_job";

// A record's "os_job_id" as a job number: an optional "+", then decimal digits up to
// 4294967295. Anything else (empty, a sign "-", other characters, overflow) is no number.
[[nodiscard]] std::optional<std::uint32_t> parse_os_job_id(std::string_view text) noexcept;

// The state a record in state `stored` moves to on what the print system says of its job;
// nullopt: no change. A job seen before and gone now left the queue unobserved; a "SUBMITTED"
// job that was never seen may simply have finished before anyone looked.
[[nodiscard]] std::optional<AttemptState> state_after_progress(AttemptState stored,
                                                               JobProgress progress) noexcept;

// The record a "get_job" answers, from the ledger, first asking the print system about
// attempts that may still be queued ("SUBMITTED", "OBSERVED") and saving the ledger when that
// moves the record on. Print-system failures are no error of the message: the record is
// answered as it stands.
[[nodiscard]] Result<JobRecord> handle_get_job(std::string_view intent_id, HostState& state,
                                               PrintSystem& system, Watchdogs& watchdogs);

}  // namespace vantrel
