#include "domain/printing/job_observation.hpp"

#include <limits>
#include <utility>

#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr std::uint32_t JOB_STATUS_PRINTED_BIT = 0x80;
constexpr std::uint32_t JOB_STATUS_DELETED_BIT = 0x100;
constexpr std::uint32_t JOB_STATUS_COMPLETE_BIT = 0x1000;
// What the spooler says about a job number it does not (or no longer) know.
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;

constexpr std::uint32_t JOB_INFO_LEVEL = 1;

constexpr std::string_view JOB_NOT_FOUND_TEXT = "No print attempt has that identifier.";

bool may_still_be_queued(std::string_view state) noexcept {
  return state == attempt_state::SUBMITTED || state == attempt_state::OBSERVED;
}

// Opens the queue, reads the job at level 1 and closes the queue again: the state the answer
// implies, or nullopt when it implies no change.
std::optional<std::string_view> query_job_state(Spooler& spooler, const std::string& printer,
                                                std::uint32_t job_id,
                                                std::string_view stored_state) {
  const auto queue = spooler.open_printer(utf8_to_utf16(printer));
  if (!queue) return std::nullopt;
  const GetJobReply sizing = spooler.get_job(*queue, job_id, JOB_INFO_LEVEL, nullptr, 0);
  if (sizing.needed < JOB_INFO_1W_SIZE) {
    return state_after_failed_job_query(stored_state, sizing.last_error);
  }
  SpoolerBuffer buffer(sizing.needed);
  const GetJobReply filling =
      spooler.get_job(*queue, job_id, JOB_INFO_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return state_after_failed_job_query(stored_state, filling.last_error);
  return state_from_job_status(filling.status);
}

// The watchdog-guarded stretch: nullopt when the spooler was not asked or implies no change.
std::optional<std::string_view> observe_job(const JobRecord& record, Spooler& spooler,
                                            Watchdogs& watchdogs) {
  auto observed =
      run_guarded(watchdogs, OBSERVE_JOB_WATCHDOG_LABEL, [&]() -> std::optional<std::string_view> {
        const auto job_id = parse_os_job_id(record.os_job_id);
        if (!job_id) return std::nullopt;
        return query_job_state(spooler, record.printer, *job_id, record.state);
      });
  // Without a watchdog a hung spooler would hang the browser: the record stays as it is.
  return observed ? *observed : std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> parse_os_job_id(std::string_view text) noexcept {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::string_view state_from_job_status(std::uint32_t status) noexcept {
  // Deleted wins over printed: a job being removed tells nothing certain about its output.
  if (status & JOB_STATUS_DELETED_BIT) return attempt_state::UNKNOWN;
  if (status & (JOB_STATUS_PRINTED_BIT | JOB_STATUS_COMPLETE_BIT)) return attempt_state::COMPLETED;
  return attempt_state::OBSERVED;
}

std::optional<std::string_view> state_after_failed_job_query(std::string_view stored_state,
                                                             std::uint32_t last_error) noexcept {
  // A job seen before and gone now left the queue unobserved. A "SUBMITTED" job that was never
  // seen may simply have finished before anyone looked: it stays as it is.
  if (last_error == ERROR_INVALID_PARAMETER_CODE && stored_state == attempt_state::OBSERVED) {
    return attempt_state::UNKNOWN;
  }
  return std::nullopt;
}

Result<JobRecord> handle_get_job(std::string_view intent_id, HostState& state, Spooler& spooler,
                                 Watchdogs& watchdogs) {
  auto& jobs = state.ledger.jobs;
  const auto stored = jobs.find(intent_id);
  if (stored == jobs.end()) return fail(ErrorCode::JOB_NOT_FOUND, std::string(JOB_NOT_FOUND_TEXT));
  if (!may_still_be_queued(stored->second.state)) return stored->second;

  // The lock is held across the spooler calls, so the record stays this message's to change.
  JobRecord& record = stored->second;
  const std::optional<std::string_view> observed = observe_job(record, spooler, watchdogs);
  if (observed && *observed != record.state) {
    const std::uint64_t now = state.now();
    record.state = std::string(*observed);
    record.updated_at_ms = now;
    state.ledger.updated_at_ms = now;
    // A failed save is the message's error; the next "get_job" observes again.
    if (auto saved = state.save(); !saved) return std::unexpected(std::move(saved.error()));
  }
  return record;
}

}  // namespace vantrel
