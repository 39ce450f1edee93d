#include "domain/state/host_state.hpp"

namespace vantrel {

Result<HostState> open_host_state(StateStore& store) {
  if (Status prepared = prepare_state_folder(store); !prepared) {
    return std::unexpected(std::move(prepared.error()));
  }
  Result<StateLock> lock = acquire_state_lock(store);
  if (!lock) return std::unexpected(std::move(lock.error()));
  Result<HostLedger> ledger = load_ledger(store);
  if (!ledger) return std::unexpected(std::move(ledger.error()));
  if (Status recovered = recover_ledger(store, *ledger); !recovered) {
    return std::unexpected(std::move(recovered.error()));
  }
  return HostState{store, std::move(*lock), std::move(*ledger)};
}

Status reopen_host_state(HostState& state) {
  state.lock.release();
  Result<HostState> fresh = open_host_state(state.store);
  if (!fresh) return std::unexpected(std::move(fresh.error()));
  state.lock = std::move(fresh->lock);
  state.ledger = std::move(fresh->ledger);
  return {};
}

}  // namespace vantrel
