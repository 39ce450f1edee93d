#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

inline constexpr std::uint32_t LEDGER_SCHEMA = 1;

// The state of a recorded attempt, named in the file and in answers as the enumerator is.
// Loading does not check states: one this version does not know is UNRECOGNISED, its text kept
// so that it is answered and saved as it was (and a repeated submit of it is refused).
enum class AttemptState : std::uint8_t {
  DISPATCHING,  // recorded, on its way to the print system
  SUBMITTED,    // the print system took the whole document
  FAILED,       // refused for certain: nothing printed
  UNKNOWN,      // may have printed
  OBSERVED,     // seen queued
  COMPLETED,    // printed
  UNRECOGNISED,
};

// The one table of state names; "" for UNRECOGNISED.
[[nodiscard]] std::string_view attempt_state_name(AttemptState state) noexcept;

// One print attempt. Members in file order; times in ms since the Unix epoch.
struct JobRecord {
  std::string intent_id;
  std::string payload_sha256;
  AttemptState state = AttemptState::DISPATCHING;
  std::string printer;
  std::string os_job_id;  // the spooler's job number in decimal once known, else ""
  std::uint64_t created_at_ms = 0;
  std::uint64_t updated_at_ms = 0;
  std::string error_code;
  std::string error_message;
  std::string unrecognised_state;  // the stored text when state is UNRECOGNISED

  bool operator==(const JobRecord&) const = default;
};

// The state as stored and answered, and the record's state from stored text.
[[nodiscard]] std::string_view stored_state(const JobRecord& record) noexcept;
void store_state(JobRecord& record, std::string_view text);

// "ledger.json". jobs is keyed by intent_id in plain byte order (std::string compares bytes as
// unsigned), which is also the order of saving and of retention's ties.
struct HostLedger {
  std::uint32_t schema = LEDGER_SCHEMA;
  std::uint64_t updated_at_ms = 0;
  std::map<std::string, JobRecord, std::less<>> jobs;

  bool operator==(const HostLedger&) const = default;
};

// The strict reading of a ledger document: STATE_CORRUPT when it does not decode,
// STATE_VERSION when it decodes with a schema other than 1.
[[nodiscard]] Result<HostLedger> decode_ledger(std::string_view bytes);

// The indented file form; fails only for text that is not valid UTF-8.
[[nodiscard]] Result<std::string> encode_ledger(const HostLedger& ledger);

// Reads "ledger.json"; a missing file is a new, empty ledger (nothing written).
[[nodiscard]] Result<HostLedger> load_ledger(StateStore& store);

// Replaces "ledger.json" durably.
[[nodiscard]] Status save_ledger(StateStore& store, const HostLedger& ledger);

}  // namespace vantrel
