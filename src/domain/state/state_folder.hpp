#pragma once

#include <chrono>

#include "base/error.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

inline constexpr std::chrono::nanoseconds LOCK_WAIT_LIMIT = std::chrono::milliseconds(750);
inline constexpr std::chrono::nanoseconds LOCK_RETRY_SLICE = std::chrono::milliseconds(25);

// Holds the exclusive lock on "ledger.lock" while it lives.
class StateLock {
 public:
  explicit StateLock(StateLockFile file) noexcept : file_(std::move(file)) {}

  // Releases the lock before the owner goes.
  void release() noexcept { file_.close(); }

 private:
  StateLockFile file_;
};

// The state folder, created with every missing ancestor.
[[nodiscard]] Status prepare_state_folder(StateStore& store);

// Takes the lock, retrying contention for up to LOCK_WAIT_LIMIT in slices of at most
// LOCK_RETRY_SLICE; BRIDGE_BUSY when the wait runs out.
[[nodiscard]] Result<StateLock> acquire_state_lock(StateStore& store);

}  // namespace vantrel
