#include "domain/state/state_folder.hpp"

#include <algorithm>

namespace vantrel {

Status prepare_state_folder(StateStore& store) {
  const auto made = store.make_folder();
  if (made) return {};
  if (!made.error()) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                "Cannot locate the current user's application-data directory.");
  }
  return fail(ErrorCode::STATE_UNAVAILABLE,
              "Cannot create print-helper state: " + made.error()->text);
}

Result<StateLock> acquire_state_lock(StateStore& store) {
  auto file = store.open_lock_file();
  if (!file) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                "Cannot open print-helper lock: " + file.error().text);
  }
  const std::chrono::nanoseconds start = store.monotonic_now();
  for (;;) {
    const StateResult<bool> locked = file->try_lock();
    if (!locked) {
      return fail(ErrorCode::STATE_UNAVAILABLE,
                  "Cannot lock print-helper state: " + locked.error().text);
    }
    if (*locked) return StateLock(std::move(*file));
    const std::chrono::nanoseconds elapsed =
        std::max(store.monotonic_now() - start, std::chrono::nanoseconds::zero());
    if (elapsed >= LOCK_WAIT_LIMIT) {
      return fail(ErrorCode::BRIDGE_BUSY,
                  "Another print-helper request is still finishing. Check status again shortly.");
    }
    store.pause(std::min(LOCK_WAIT_LIMIT - elapsed, LOCK_RETRY_SLICE));
  }
}

}  // namespace vantrel
