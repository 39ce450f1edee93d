#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/spooler.hpp"
#include "domain/state/host_state.hpp"
#include "domain/state/ledger.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

inline constexpr const char* OBSERVE_JOB_WATCHDOG_LABEL = "observe_job";

// A record's "os_job_id" as the job number GetJobW takes: an optional "+", then decimal digits
// up to 4294967295. Anything else (empty, a sign "-", other characters, overflow) is no number.
[[nodiscard]] std::optional<std::uint32_t> parse_os_job_id(std::string_view text) noexcept;

// The state a found job implies from its JOB_INFO_1W Status word.
[[nodiscard]] std::string_view state_from_job_status(std::uint32_t status) noexcept;

// The state a failed job query implies for a record in `stored_state`; nullopt: no change.
[[nodiscard]] std::optional<std::string_view> state_after_failed_job_query(
    std::string_view stored_state, std::uint32_t last_error) noexcept;

// The record a "get_job" answers, from the ledger, first asking the spooler about attempts that may
// still be queued ("SUBMITTED", "OBSERVED") and saving the ledger when that moves the record on.
// Spooler failures are no error of the message: the record is answered as it stands.
[[nodiscard]] Result<JobRecord> handle_get_job(std::string_view intent_id, HostState& state,
                                               Spooler& spooler, Watchdogs& watchdogs);

}  // namespace vantrel
