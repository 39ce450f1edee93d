#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The seam between the durable state's rules and one platform: a per-user state folder of whole
// files that are read at once and replaced durably, a lock file, and clocks. The Windows host's
// is WindowsStateStore.

// A failed system step, in the system's words: its error text with the number
// ("... (os error N)"), or the step's own ("failed to write whole buffer").
struct StateFailure {
  std::string text;

  bool operator==(const StateFailure&) const = default;
};

template <class T>
using StateResult = std::expected<T, StateFailure>;

// The state's file names, inside the state folder.
inline constexpr std::string_view LEDGER_FILE_NAME = "ledger.json";
inline constexpr std::string_view LOCK_FILE_NAME = "ledger.lock";
inline constexpr std::string_view BRIDGE_STATUS_FILE_NAME = "bridge-status.json";

// An open lock file. Destroying it releases any lock taken through it, and so does the end of
// the process, whatever the way it ends.
class StateLockFile {
 public:
  virtual ~StateLockFile() = default;
  // Takes the exclusive lock without waiting: true when taken, false while another holder has it.
  [[nodiscard]] virtual StateResult<bool> try_lock() = 0;
};

class StateStore {
 public:
  virtual ~StateStore() = default;

  // Makes the state folder with every missing ancestor; the other calls work in it. A failure
  // without a text: the user's base folder for application data cannot be located.
  [[nodiscard]] virtual std::expected<void, std::optional<StateFailure>> make_folder() = 0;
  [[nodiscard]] virtual StateResult<std::unique_ptr<StateLockFile>> open_lock_file() = 0;
  // The whole file; nullopt when it does not exist.
  [[nodiscard]] virtual StateResult<std::optional<std::string>> read_file(
      std::string_view name) = 0;
  // Replaces the whole file: readers see the old bytes or the new, never a mix, also across a
  // crash. On failure the file is as it was, but for one case: the new bytes are in place and
  // only making the move itself durable failed; reporting that is the safe side.
  [[nodiscard]] virtual StateResult<void> replace_file(std::string_view name,
                                                       std::string_view bytes) = 0;
  // Milliseconds since the Unix epoch.
  [[nodiscard]] virtual std::uint64_t now_unix_ms() = 0;
  // A clock that never goes back, from an arbitrary origin.
  [[nodiscard]] virtual std::chrono::nanoseconds monotonic_now() = 0;
  virtual void pause(std::chrono::nanoseconds duration) = 0;
};

}  // namespace vantrel
