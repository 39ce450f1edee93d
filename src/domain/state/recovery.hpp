#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/state/ledger.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

inline constexpr std::uint64_t LEDGER_MAX_AGE_MS = 2'592'000'000;  // 30 days
inline constexpr std::size_t LEDGER_MAX_RECORDS = 5'000;

inline constexpr std::string_view HOST_RESTARTED = "HOST_RESTARTED";
inline constexpr std::string_view HOST_RESTARTED_MESSAGE =
    "The helper restarted before the operating system acknowledged this job.";

inline constexpr std::uint32_t BRIDGE_STATUS_SCHEMA = 1;
inline constexpr std::uint32_t BRIDGE_STATUS_PROTOCOL = 1;

// The rules of recovery and retention at time now: leftover "DISPATCHING" records become
// "UNKNOWN", records older than 30 days go, then the oldest beyond 5,000. Sets the ledger's
// updated_at_ms to now. Returns whether any record changed or went.
[[nodiscard]] bool apply_recovery(HostLedger& ledger, std::uint64_t now_ms);

// apply_recovery at the current time, then save_ledger when it changed something.
[[nodiscard]] Status recover_ledger(StateStore& store, HostLedger& ledger);

// The indented "bridge-status.json" document.
[[nodiscard]] std::string encode_bridge_status(std::uint64_t last_contact_ms);

// Records the time of this contact in "bridge-status.json"; failures change nothing.
void write_bridge_status(StateStore& store);

}  // namespace vantrel
