#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "domain/state/state_files.hpp"

namespace vantrel {

// The durable state's rules over the files of one platform: a per-user state folder of whole
// files that are read at once and replaced durably, a lock file, and clocks. Written once here,
// above the StateFiles seam, for every platform.

// A failed step, in the system's words: its error text with the number ("... (os error N)"),
// or the step's own ("failed to write whole buffer").
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

inline constexpr std::string_view FAILED_TO_WRITE_WHOLE_BUFFER = "failed to write whole buffer";

// The open lock file. Destroying it releases any lock taken through it, and so does the end of
// the process, whatever the way it ends.
class StateLockFile {
 public:
  StateLockFile(StateFiles& files, StateFile file) : files_(&files), file_(std::move(file)) {}

  // Takes the exclusive lock without waiting: true when taken, false while another holder has it.
  [[nodiscard]] StateResult<bool> try_lock();
  // Closes the file, and with it any lock taken through it.
  void close() noexcept { file_.reset(); }

 private:
  StateFiles* files_;
  StateFile file_;
};

class StateStore {
 public:
  explicit StateStore(StateFiles& files) : files_(files) {}

  // Makes the state folder with every missing ancestor and keeps it to its owner; the other
  // calls work in it. A failure without a text: the user's folder for application state cannot
  // be located.
  [[nodiscard]] std::expected<void, std::optional<StateFailure>> make_folder();
  [[nodiscard]] StateResult<StateLockFile> open_lock_file();
  // The whole file; nullopt when it does not exist.
  [[nodiscard]] StateResult<std::optional<std::string>> read_file(std::string_view name);
  // Replaces the whole file through the temporary "." + name + "." + pid + ".tmp": written,
  // flushed, moved over the target, then the folder flushed. Readers see the old bytes or the
  // new, never a mix, also across a crash. On failure the file is as it was, but for one case:
  // the new bytes are in place and only flushing the folder failed; reporting that is the safe
  // side.
  [[nodiscard]] StateResult<void> replace_file(std::string_view name, std::string_view bytes);

  [[nodiscard]] std::uint64_t now_unix_ms() { return files_.now_unix_ms(); }
  [[nodiscard]] std::chrono::nanoseconds monotonic_now() { return files_.monotonic_now(); }
  void pause(std::chrono::nanoseconds duration) { files_.pause(duration); }

  // The folder that make_folder made ("" before), and a file's path in it.
  [[nodiscard]] const std::string& folder() const noexcept { return folder_; }
  [[nodiscard]] std::string path_of(std::string_view name) const;

 private:
  [[nodiscard]] FileStatus make_folder_tree(const std::string& path);

  StateFiles& files_;
  std::string folder_;
};

}  // namespace vantrel
