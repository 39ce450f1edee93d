#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/state/state_files.hpp"

namespace vantrel {

inline constexpr std::u16string_view STATE_FOLDER_NAME = u"com.vantrel.print";
inline constexpr std::u16string_view LOCK_FILE_NAME = u"ledger.lock";

inline constexpr std::chrono::nanoseconds LOCK_WAIT_LIMIT = std::chrono::milliseconds(750);
inline constexpr std::chrono::nanoseconds LOCK_RETRY_SLICE = std::chrono::milliseconds(25);

// Holds the exclusive lock on "ledger.lock" while it lives; closing its handle releases the lock
// (and so does the end of the process, whatever the way it ends).
class StateLock {
 public:
  explicit StateLock(OwnedFile file) noexcept : file_(std::move(file)) {}
  StateLock(StateLock&&) noexcept = default;
  StateLock& operator=(StateLock&&) noexcept = default;

  [[nodiscard]] bool is_held() const noexcept { return static_cast<bool>(file_); }

 private:
  OwnedFile file_;
};

// "<LocalAppData>\com.vantrel.print", created with every missing ancestor.
[[nodiscard]] Result<std::u16string> locate_state_folder(StateFileSystem& files);

// Takes the lock, retrying contention for up to LOCK_WAIT_LIMIT in slices of at most
// LOCK_RETRY_SLICE; BRIDGE_BUSY when the wait runs out.
[[nodiscard]] Result<StateLock> acquire_state_lock(StateFileSystem& files,
                                                   const std::u16string& folder);

}  // namespace vantrel
