#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "domain/state/posix/posix_files.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

inline constexpr std::string_view POSIX_STATE_FOLDER_NAME = "com.vantrel.print";

// The POSIX host's state: "${XDG_STATE_HOME:-$HOME/.local/state}/com.vantrel.print" (on macOS
// "$HOME/Library/Application Support/com.vantrel.print"), an open-file-description lock on its
// "ledger.lock", durable replacement through a temporary file renamed over the target. The rules
// of those calls live here; the calls go through the PosixFiles call table.
class PosixStateStore final : public StateStore {
 public:
  explicit PosixStateStore(PosixFiles& files) : files_(files) {}

  std::expected<void, std::optional<StateFailure>> make_folder() override;
  StateResult<std::unique_ptr<StateLockFile>> open_lock_file() override;
  StateResult<std::optional<std::string>> read_file(std::string_view name) override;
  StateResult<void> replace_file(std::string_view name, std::string_view bytes) override;
  std::uint64_t now_unix_ms() override;
  std::chrono::nanoseconds monotonic_now() override { return files_.monotonic_now(); }
  void pause(std::chrono::nanoseconds duration) override { files_.pause(duration); }

  // The folder that make_folder made ("" before).
  [[nodiscard]] const std::string& folder() const noexcept { return folder_; }

 private:
  [[nodiscard]] std::string path_of(std::string_view name) const;

  PosixFiles& files_;
  std::string folder_;
};

// Where the state folder belongs, from the environment; nullopt when neither an absolute
// XDG_STATE_HOME nor an absolute HOME is set (a relative one would follow the working folder).
[[nodiscard]] std::optional<std::string> posix_state_folder_location(PosixFiles& files);

}  // namespace vantrel
