#pragma once

#include <cstdint>
#include <string>

#include "base/error.hpp"
#include "domain/state/ledger.hpp"
#include "domain/state/recovery.hpp"
#include "domain/state/state_folder.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

// What one message works on, from taking the lock until its answer is ready. Dropping it closes
// the lock handle, which releases the lock; nothing of it outlives the message.
struct HostState {
  StateStore& store;
  StateLock lock;
  HostLedger ledger;

  // save_ledger of this message's ledger.
  [[nodiscard]] Status save() const { return save_ledger(store, ledger); }
  [[nodiscard]] std::uint64_t now() const { return store.now_unix_ms(); }
};

// Locates the folder, takes the lock, loads the ledger and applies recovery (saving it when
// recovery changed it). On failure any lock taken is already released.
[[nodiscard]] Result<HostState> open_host_state(StateStore& store);

// Releases the state's lock and opens it again as a new message would: the lock taken anew and
// the ledger read afresh, so that other processes may go between two steps of a long message. On
// failure the state holds no lock and must not be saved.
[[nodiscard]] Status reopen_host_state(HostState& state);

}  // namespace vantrel
