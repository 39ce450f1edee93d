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

// Attempt states: the value of a record's "state". Stored as plain text; loading does not
// check them.
namespace attempt_state {
inline constexpr std::string_view DISPATCHING = "DISPATCHING";
inline constexpr std::string_view SUBMITTED = "SUBMITTED";
inline constexpr std::string_view FAILED = "FAILED";
inline constexpr std::string_view UNKNOWN = "UNKNOWN";
inline constexpr std::string_view OBSERVED = "OBSERVED";
inline constexpr std::string_view COMPLETED = "COMPLETED";
}  // namespace attempt_state

// One print attempt. Members in file order; times in ms since the Unix epoch.
struct JobRecord {
  std::string intent_id;
  std::string payload_sha256;
  std::string state;
  std::string printer;
  std::string os_job_id;  // the spooler's job number in decimal once known, else ""
  std::uint64_t created_at_ms = 0;
  std::uint64_t updated_at_ms = 0;
  std::string error_code;
  std::string error_message;

  bool operator==(const JobRecord&) const = default;
};

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
