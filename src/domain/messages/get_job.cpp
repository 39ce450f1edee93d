#include "domain/messages/get_job.hpp"

#include <limits>
#include <utility>

namespace vantrel {
namespace {

constexpr std::string_view JOB_NOT_FOUND_TEXT = "No print attempt has that identifier.";

bool may_still_be_queued(AttemptState state) noexcept {
  return state == AttemptState::SUBMITTED || state == AttemptState::OBSERVED;
}

// The watchdog-guarded stretch: nullopt when the print system was not asked or implies no
// change.
std::optional<AttemptState> observe_job(const JobRecord& record, PrintSystem& system,
                                        Watchdogs& watchdogs) {
  auto observed =
      run_guarded(watchdogs, OBSERVE_JOB_WATCHDOG_LABEL, [&]() -> std::optional<AttemptState> {
        const auto job_id = parse_os_job_id(record.os_job_id);
        if (!job_id) return std::nullopt;
        return state_after_progress(record.state, system.job_progress(record.printer, *job_id));
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

std::optional<AttemptState> state_after_progress(AttemptState stored,
                                                 JobProgress progress) noexcept {
  switch (progress) {
    case JobProgress::queued:
      return AttemptState::OBSERVED;
    case JobProgress::completed:
      return AttemptState::COMPLETED;
    // A job that was deleted, or given up after an error, may have reached the device first
    // (a backend that delivers the whole label and then fails): never "not printed".
    case JobProgress::deleted:
    case JobProgress::failed:
      return AttemptState::UNKNOWN;
    case JobProgress::gone:
      if (stored == AttemptState::OBSERVED) return AttemptState::UNKNOWN;
      return std::nullopt;
    case JobProgress::unknown:
      return std::nullopt;
  }
  return std::nullopt;
}

Result<JobRecord> handle_get_job(std::string_view intent_id, HostState& state, PrintSystem& system,
                                 Watchdogs& watchdogs) {
  auto& jobs = state.ledger.jobs;
  const auto stored = jobs.find(intent_id);
  if (stored == jobs.end()) return fail(ErrorCode::JOB_NOT_FOUND, std::string(JOB_NOT_FOUND_TEXT));
  if (!may_still_be_queued(stored->second.state)) return stored->second;

  // The lock is held across the spooler calls, so the record stays this message's to change.
  JobRecord& record = stored->second;
  const std::optional<AttemptState> observed = observe_job(record, system, watchdogs);
  if (observed && *observed != record.state) {
    const std::uint64_t now = state.now();
    record.state = *observed;
    record.updated_at_ms = now;
    state.ledger.updated_at_ms = now;
    // A failed save is the message's error; the next "get_job" observes again.
    if (auto saved = state.save(); !saved) return std::unexpected(std::move(saved.error()));
  }
  return record;
}

}  // namespace vantrel
