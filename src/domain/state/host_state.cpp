#include "domain/state/host_state.hpp"

namespace vantrel {

Result<HostState> open_host_state(StateFileSystem& files) {
  Result<std::u16string> folder = locate_state_folder(files);
  if (!folder) return std::unexpected(std::move(folder.error()));
  Result<StateLock> lock = acquire_state_lock(files, *folder);
  if (!lock) return std::unexpected(std::move(lock.error()));
  Result<HostLedger> ledger = load_ledger(files, *folder);
  if (!ledger) return std::unexpected(std::move(ledger.error()));
  if (Status recovered = recover_ledger(files, *folder, *ledger); !recovered) {
    return std::unexpected(std::move(recovered.error()));
  }
  return HostState{files, std::move(*folder), std::move(*lock), std::move(*ledger)};
}

}  // namespace vantrel
