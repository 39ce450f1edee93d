#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/owned.hpp"
#include "domain/state/state_path.hpp"

namespace vantrel {

// The seam between the durable state's rules (state_store.cpp) and one platform's files: the
// calls only translate, in the product's terms and on UTF-8 paths, and report failures already
// classified. Every rule (the folder tree, the temporary's name, writing everything, the order
// of flushes, the lock's retries) lives above it, once for every platform.

enum class FileErrorKind : std::uint8_t {
  not_found,  // the file or a folder on its path does not exist
  exists,     // something is already at the path
  contended,  // another holder has the lock
  foreign,    // the folder belongs to another user
  // a link, a folder, a pipe or a device where a regular file (or a real folder) belongs: the
  // state is never followed elsewhere nor read from anything that can block or never end
  not_regular,
  other,
};

struct FileError {
  FileErrorKind kind = FileErrorKind::other;
  std::uint32_t os_code = 0;  // the system's code, for its error text

  bool operator==(const FileError&) const = default;
};

template <class T>
using FileResult = std::expected<T, FileError>;
using FileStatus = std::expected<void, FileError>;

class StateFiles;

// One open file of the state folder, closed through the seam's close. Closing it releases any
// lock taken through it.
using StateFile = Owned<std::uintptr_t, ReleaseThrough<StateFiles>>;

class StateFiles {
 public:
  virtual ~StateFiles() = default;

  // How this platform writes paths.
  [[nodiscard]] virtual PathSyntax path_syntax() const = 0;
  // The state folder's path; nullopt when the user's folder for application state cannot be
  // located.
  [[nodiscard]] virtual std::optional<std::string> locate_state_folder() = 0;
  // Makes one folder (owner-only where modes exist): exists when anything is at the path,
  // not_found when its parent is missing.
  [[nodiscard]] virtual FileStatus make_folder(const std::string& path) = 0;
  // Whether a folder is at the path, following links (the user's own folders may be links).
  [[nodiscard]] virtual bool is_folder(const std::string& path) = 0;
  // Whether the path is itself a folder: no link, no reparse point. The state's own folders.
  [[nodiscard]] virtual bool is_real_folder(const std::string& path) = 0;
  // Keeps the folder to its owner: owner-only mode where modes exist, foreign when another user
  // owns it. Nothing where the folder's access follows its parent's (Windows).
  [[nodiscard]] virtual FileStatus keep_private(const std::string& path) = 0;
  // Every open below follows no link at the path's last step, never blocks on what is there,
  // and answers not_regular for anything but a regular file.
  // Opens the lock file, creating it empty when missing; never truncates it.
  [[nodiscard]] virtual FileResult<StateFile> open_lock_file(const std::string& path) = 0;
  // The exclusive lock over the whole file, without waiting; contended while held elsewhere.
  // Closing the file or ending the process, in any way, releases it.
  [[nodiscard]] virtual FileStatus try_lock(const StateFile& file) = 0;
  [[nodiscard]] virtual FileResult<std::string> read_file(const std::string& path) = 0;
  // A file for writing. A leftover at the path is truncated where the system allows shared
  // replacement (Windows), or reported as exists (POSIX, which never follows a link there).
  [[nodiscard]] virtual FileResult<StateFile> create_file(const std::string& path) = 0;
  // One write: how many bytes it took, possibly fewer than offered, possibly 0.
  [[nodiscard]] virtual FileResult<std::size_t> write(const StateFile& file,
                                                      std::string_view bytes) = 0;
  // The file's bytes on the disk.
  [[nodiscard]] virtual FileStatus flush(const StateFile& file) = 0;
  // Moves the file over the target in one step, also while it is open.
  [[nodiscard]] virtual FileStatus rename_over(const std::string& from, const std::string& to) = 0;
  // The folder's entries on the disk. Nothing where a move is written through (Windows).
  [[nodiscard]] virtual FileStatus flush_folder(const std::string& path) = 0;
  [[nodiscard]] virtual FileStatus remove(const std::string& path) = 0;
  // Opens a file for appending, creating it when missing: every write goes to its end, also
  // when other processes append to it at the same time.
  [[nodiscard]] virtual FileResult<StateFile> open_for_append(const std::string& path) = 0;
  // The file's size in bytes (of a link itself, not of its target).
  [[nodiscard]] virtual FileResult<std::uint64_t> file_size(const std::string& path) = 0;
  // Cuts the file back to `size` bytes: the torn end of an append that the disk cut short.
  [[nodiscard]] virtual FileStatus cut_to(const StateFile& file, std::uint64_t size) = 0;
  // Whether a replacement that failed removes its temporary (POSIX) or leaves it for the next
  // replacement of the same process to truncate (Windows).
  [[nodiscard]] virtual bool removes_failed_temporary() const = 0;
  [[nodiscard]] virtual std::uint32_t process_id() = 0;
  // Milliseconds since the Unix epoch (0 before it).
  [[nodiscard]] virtual std::uint64_t now_unix_ms() = 0;
  // A clock that never goes back, from an arbitrary origin.
  [[nodiscard]] virtual std::chrono::nanoseconds monotonic_now() = 0;
  // Sleeps at least the duration.
  virtual void pause(std::chrono::nanoseconds duration) = 0;
  // Reached through StateFile.
  virtual void close(std::uintptr_t handle) noexcept = 0;
  static constexpr auto release = &StateFiles::close;
};

// The process's own files: Windows (state_files_win32.cpp) or POSIX (state_files_posix.cpp).
[[nodiscard]] StateFiles& system_state_files();

// Writes every byte, a write at a time: false when a write took none (a full disk, on some
// systems, says nothing else).
[[nodiscard]] inline FileResult<bool> write_all(StateFiles& files, const StateFile& file,
                                                std::string_view bytes) {
  while (!bytes.empty()) {
    const FileResult<std::size_t> taken = files.write(file, bytes);
    if (!taken) return std::unexpected(taken.error());
    if (*taken == 0) return false;
    bytes.remove_prefix(std::min(*taken, bytes.size()));
  }
  return true;
}

}  // namespace vantrel
