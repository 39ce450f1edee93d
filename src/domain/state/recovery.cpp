#include "domain/state/recovery.hpp"

#include <algorithm>
#include <vector>

#include "base/json_string.hpp"
#include "base/version.hpp"

namespace vantrel {

bool apply_recovery(HostLedger& ledger, std::uint64_t now_ms) {
  bool changed = false;
  // Every lock holder settles its own attempts before it lets go, so a "DISPATCHING" record
  // seen under the lock belongs to a host that died mid-print.
  for (auto& [key, record] : ledger.jobs) {
    if (record.state != AttemptState::DISPATCHING) continue;
    record.state = AttemptState::UNKNOWN;
    record.error_code = HOST_RESTARTED;
    record.error_message = HOST_RESTARTED_MESSAGE;
    record.updated_at_ms = now_ms;
    changed = true;
  }

  const std::uint64_t cut_off = now_ms > LEDGER_MAX_AGE_MS ? now_ms - LEDGER_MAX_AGE_MS : 0;
  changed |= std::erase_if(ledger.jobs, [&](const auto& entry) {
               return entry.second.updated_at_ms < cut_off;
             }) > 0;

  if (ledger.jobs.size() > LEDGER_MAX_RECORDS) {
    struct Age {
      std::uint64_t updated_at_ms;
      decltype(ledger.jobs)::iterator entry;
    };
    std::vector<Age> by_age;
    by_age.reserve(ledger.jobs.size());
    for (auto it = ledger.jobs.begin(); it != ledger.jobs.end(); ++it) {
      by_age.push_back({it->second.updated_at_ms, it});
    }
    // Stable, so records of equal age go in key order.
    std::stable_sort(by_age.begin(), by_age.end(),
                     [](const Age& a, const Age& b) { return a.updated_at_ms < b.updated_at_ms; });
    const std::size_t excess = ledger.jobs.size() - LEDGER_MAX_RECORDS;
    for (std::size_t i = 0; i < excess; ++i) ledger.jobs.erase(by_age[i].entry);
    changed = true;
  }

  ledger.updated_at_ms = now_ms;
  return changed;
}

Status recover_ledger(StateStore& store, HostLedger& ledger) {
  if (!apply_recovery(ledger, store.now_unix_ms())) return {};
  return save_ledger(store, ledger);
}

std::string encode_bridge_status(std::uint64_t last_contact_ms) {
  std::string out =
      "{\n  \"schema\": " + std::to_string(BRIDGE_STATUS_SCHEMA) + ",\n  \"version\": ";
  append_json_string(out, HOST_VERSION);
  out += ",\n  \"protocol\": " + std::to_string(BRIDGE_STATUS_PROTOCOL) +
         ",\n  \"last_contact_ms\": " + std::to_string(last_contact_ms) + "\n}";
  return out;
}

void write_bridge_status(StateStore& store) {
  // Only a record for whoever watches the bridge; the message goes on whatever happens here.
  (void)store.replace_file(BRIDGE_STATUS_FILE_NAME, encode_bridge_status(store.now_unix_ms()));
}

}  // namespace vantrel
