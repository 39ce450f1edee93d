#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "domain/state/state_store.hpp"
#include "domain/state/windows/state_files.hpp"

namespace vantrel {

inline constexpr std::u16string_view STATE_FOLDER_NAME = u"com.vantrel.print";

// The Windows host's state: "%LOCALAPPDATA%\com.vantrel.print", a LockFileEx lock on its
// "ledger.lock", durable replacement through a temporary file moved over the target. The rules
// of those calls (error codes that mean "missing" or "held elsewhere", the temporary's name,
// time conversions) live here; the calls go through the StateFileSystem call table.
class WindowsStateStore final : public StateStore {
 public:
  explicit WindowsStateStore(StateFileSystem& files) : files_(files) {}

  std::expected<void, std::optional<StateFailure>> make_folder() override;
  StateResult<std::unique_ptr<StateLockFile>> open_lock_file() override;
  StateResult<std::optional<std::string>> read_file(std::string_view name) override;
  StateResult<void> replace_file(std::string_view name, std::string_view bytes) override;
  std::uint64_t now_unix_ms() override;
  std::chrono::nanoseconds monotonic_now() override { return files_.monotonic_now(); }
  void pause(std::chrono::nanoseconds duration) override { files_.pause(duration); }

  // The folder that make_folder made ("" before).
  [[nodiscard]] const std::u16string& folder() const noexcept { return folder_; }

 private:
  [[nodiscard]] std::u16string path_of(std::string_view name) const;

  StateFileSystem& files_;
  std::u16string folder_;
};

// 100-ns ticks since 1601 to ms since 1970, truncating; 0 before 1970.
[[nodiscard]] constexpr std::uint64_t unix_ms_from_file_time(std::uint64_t ticks) {
  constexpr std::uint64_t UNIX_EPOCH_TICKS = 116'444'736'000'000'000;
  if (ticks < UNIX_EPOCH_TICKS) return 0;
  const std::uint64_t since_epoch = ticks - UNIX_EPOCH_TICKS;
  return since_epoch / 10'000'000 * 1000 + since_epoch % 10'000'000 / 10'000;
}

}  // namespace vantrel
