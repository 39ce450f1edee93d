#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/host_error.hpp"
#include "host/json.hpp"
#include "host/watchdog.hpp"
#include "state/host_state.hpp"
#include "state/ledger.hpp"
#include "winprint/spooler.hpp"

namespace vantrel {

inline constexpr const char* OBSERVE_JOB_WATCHDOG_LABEL = "observe_job";

// The "intent_id" of a "get_job" payload: an object member holding an identifier of 1..160
// bytes. Anything else is BAD_REQUEST "intent_id contains unsupported characters.".
[[nodiscard]] Result<std::string> read_get_job_intent_id(const JsonValue& payload);

// A record's "os_job_id" as the job number GetJobW takes: an optional "+", then decimal digits
// up to 4294967295. Anything else (empty, a sign "-", other characters, overflow) is no number.
[[nodiscard]] std::optional<std::uint32_t> parse_os_job_id(std::string_view text) noexcept;

// The state a found job implies from its JOB_INFO_1W Status word.
[[nodiscard]] std::string_view state_from_job_status(std::uint32_t status) noexcept;

// The state a failed job query implies for a record in `stored_state`; nullopt: no change.
[[nodiscard]] std::optional<std::string_view> state_after_failed_job_query(
    std::string_view stored_state, std::uint32_t last_error) noexcept;

// The record as a result object: nine members, times as unsigned integers.
[[nodiscard]] JsonValue job_record_json(const JobRecord& record);

// Answers a "get_job" from the ledger, first asking the spooler about attempts that may still
// be queued ("SUBMITTED", "OBSERVED") and saving the ledger when that moves the record on.
// Spooler failures are no error of the message: the record is answered as it stands.
[[nodiscard]] Result<JsonValue> handle_get_job(std::string_view intent_id, HostState& state,
                                               Spooler& spooler, Watchdogs& watchdogs);

}  // namespace vantrel
