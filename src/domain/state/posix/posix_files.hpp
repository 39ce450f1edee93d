#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/owned.hpp"

namespace vantrel {

// A failed POSIX call of the state: its errno (the values of <cerrno>).
struct PosixError {
  int code = 0;

  bool operator==(const PosixError&) const = default;
};

template <class T>
using PosixResult = std::expected<T, PosixError>;
using PosixStatus = std::expected<void, PosixError>;

class PosixFiles;

// close through the call table, so that a fake sees every release.
struct ClosePosixFile {
  PosixFiles* files = nullptr;
  void operator()(int descriptor) const noexcept;
};

// One open file descriptor of the state. Closing it releases any lock taken through it.
using OwnedDescriptor = Owned<int, ClosePosixFile>;

// Exactly the POSIX calls that the durable state makes, on paths in the system's bytes.
// Implementations translate calls and results (and retry EINTR); every rule lives in the
// callers.
class PosixFiles {
 public:
  virtual ~PosixFiles() = default;

  // getenv; nullopt when unset.
  [[nodiscard]] virtual std::optional<std::string> environment_variable(std::string_view name) = 0;
  // mkdir of one folder, mode 0700 (less the umask).
  [[nodiscard]] virtual PosixStatus create_directory(const std::string& path) = 0;
  // Whether the path names an existing folder (stat, following links).
  [[nodiscard]] virtual bool is_directory(const std::string& path) = 0;
  // open O_RDWR | O_CREAT | O_CLOEXEC, mode 0600: a write lock needs a descriptor for writing.
  [[nodiscard]] virtual PosixResult<OwnedDescriptor> open_lock_file(const std::string& path) = 0;
  // fcntl F_OFD_SETLK, F_WRLCK over the whole file, not waiting (flock LOCK_EX | LOCK_NB on
  // macOS, which has no OFD locks). Both belong to the open file description, not the process.
  [[nodiscard]] virtual PosixStatus lock_whole_file(const OwnedDescriptor& file) = 0;
  // open O_RDONLY | O_CLOEXEC.
  [[nodiscard]] virtual PosixResult<OwnedDescriptor> open_for_reading(const std::string& path) = 0;
  // One read: how many bytes it gave, 0 at the end.
  [[nodiscard]] virtual PosixResult<std::size_t> read_file(const OwnedDescriptor& file,
                                                           std::span<char> buffer) = 0;
  // open O_RDONLY | O_DIRECTORY | O_CLOEXEC, for flushing the folder's entries.
  [[nodiscard]] virtual PosixResult<OwnedDescriptor> open_directory(const std::string& path) = 0;
  // open O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode 0600: EEXIST for anything at the path.
  [[nodiscard]] virtual PosixResult<OwnedDescriptor> create_new_file(const std::string& path) = 0;
  // One write: how many bytes it took, possibly fewer than offered, possibly 0.
  [[nodiscard]] virtual PosixResult<std::size_t> write_file(const OwnedDescriptor& file,
                                                            std::string_view bytes) = 0;
  // fsync (fcntl F_FULLFSYNC on macOS, where fsync stops at the drive's cache).
  [[nodiscard]] virtual PosixStatus flush_file(const OwnedDescriptor& file) = 0;
  // rename, replacing the target atomically.
  [[nodiscard]] virtual PosixStatus rename_file(const std::string& from, const std::string& to) = 0;
  // unlink.
  [[nodiscard]] virtual PosixStatus remove_file(const std::string& path) = 0;
  [[nodiscard]] virtual std::uint32_t current_process_id() = 0;
  // clock_gettime(CLOCK_REALTIME): since the Unix epoch, negative before it.
  [[nodiscard]] virtual std::chrono::nanoseconds realtime_now() = 0;
  // clock_gettime(CLOCK_MONOTONIC).
  [[nodiscard]] virtual std::chrono::nanoseconds monotonic_now() = 0;
  // nanosleep for the whole duration, resumed after signals.
  virtual void pause(std::chrono::nanoseconds duration) = 0;
  // close; reached through OwnedDescriptor.
  virtual void close_file(int descriptor) noexcept = 0;
};

inline void ClosePosixFile::operator()(int descriptor) const noexcept {
  files->close_file(descriptor);
}

// The process's real call table (posix_files_posix.cpp).
[[nodiscard]] PosixFiles& posix_files();

}  // namespace vantrel
