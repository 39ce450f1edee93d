#include "domain/state/posix/posix_state_store.hpp"

#include <algorithm>
#include <cerrno>

#include "base/os_error.hpp"

namespace vantrel {
namespace {

// Reading grows the text by this much per read, whatever size the file claims.
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;

constexpr std::string_view FAILED_TO_WRITE_WHOLE_BUFFER = "failed to write whole buffer";

std::unexpected<StateFailure> failure_of(const PosixError& error) {
  return std::unexpected(StateFailure{os_error_text(static_cast<std::uint32_t>(error.code))});
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

// An absolute path from the environment, without trailing slashes.
std::optional<std::string> absolute_variable(PosixFiles& files, std::string_view name) {
  std::optional<std::string> value = files.environment_variable(name);
  if (!value || !value->starts_with('/')) return std::nullopt;
  while (value->size() > 1 && value->ends_with('/')) value->pop_back();
  return value;
}

PosixStatus create_directory_tree(PosixFiles& files, const std::string& path) {
  PosixStatus made = files.create_directory(path);
  if (made) return {};
  if (made.error().code != ENOENT) {
    // EEXIST also stands for a file at the path; EACCES or EROFS may answer for a folder that
    // exists above the user's own.
    if (files.is_directory(path)) return {};
    return made;
  }
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return made;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  if (parent == path) return made;
  if (PosixStatus up = create_directory_tree(files, parent); !up) return up;
  made = files.create_directory(path);
  if (made || files.is_directory(path)) return {};  // another process may have made it meanwhile
  return made;
}

class PosixLockFile final : public StateLockFile {
 public:
  PosixLockFile(PosixFiles& files, OwnedDescriptor file) : files_(files), file_(std::move(file)) {}

  StateResult<bool> try_lock() override {
    const PosixStatus locked = files_.lock_whole_file(file_);
    if (locked) return true;
    // Another holder (EWOULDBLOCK is EAGAIN on Linux and macOS). EINVAL, from a file system
    // without OFD locks, is a failure like any other.
    const int code = locked.error().code;
    if (code == EAGAIN || code == EACCES) return false;
    return failure_of(locked.error());
  }

 private:
  PosixFiles& files_;
  OwnedDescriptor file_;
};

}  // namespace

std::optional<std::string> posix_state_folder_location(PosixFiles& files) {
#ifdef __APPLE__
  const std::optional<std::string> home = absolute_variable(files, "HOME");
  if (!home) return std::nullopt;
  return join_path(join_path(*home, "Library/Application Support"), POSIX_STATE_FOLDER_NAME);
#else
  if (const auto state_home = absolute_variable(files, "XDG_STATE_HOME")) {
    return join_path(*state_home, POSIX_STATE_FOLDER_NAME);
  }
  const std::optional<std::string> home = absolute_variable(files, "HOME");
  if (!home) return std::nullopt;
  return join_path(join_path(*home, ".local/state"), POSIX_STATE_FOLDER_NAME);
#endif
}

std::expected<void, std::optional<StateFailure>> PosixStateStore::make_folder() {
  std::optional<std::string> folder = posix_state_folder_location(files_);
  if (!folder) return std::unexpected(std::nullopt);
  if (const PosixStatus made = create_directory_tree(files_, *folder); !made) {
    return failure_of(made.error());
  }
  folder_ = std::move(*folder);
  return {};
}

StateResult<std::unique_ptr<StateLockFile>> PosixStateStore::open_lock_file() {
  PosixResult<OwnedDescriptor> file = files_.open_lock_file(path_of(LOCK_FILE_NAME));
  if (!file) return failure_of(file.error());
  return std::make_unique<PosixLockFile>(files_, std::move(*file));
}

StateResult<std::optional<std::string>> PosixStateStore::read_file(std::string_view name) {
  PosixResult<OwnedDescriptor> file = files_.open_for_reading(path_of(name));
  if (!file) {
    if (file.error().code == ENOENT) return std::nullopt;
    return failure_of(file.error());
  }
  std::string bytes;
  for (;;) {
    const std::size_t used = bytes.size();
    bytes.resize(used + READ_CHUNK_BYTES);
    const PosixResult<std::size_t> got =
        files_.read_file(*file, std::span(bytes.data() + used, READ_CHUNK_BYTES));
    if (!got) return failure_of(got.error());
    bytes.resize(used + std::min(*got, READ_CHUNK_BYTES));
    if (*got == 0) return bytes;
  }
}

// The temporary is "." + name + "." + pid + ".tmp", as on Windows. Only this process writes
// under its pid, so one found there was left by a crashed process of the same pid (or a failed
// removal here): it is removed and the creation made again. O_EXCL never follows a link there.
StateResult<void> PosixStateStore::replace_file(std::string_view name, std::string_view bytes) {
  const std::string target = path_of(name);
  // Appended piece by piece: g++ 12 warns of a false overlap in "." + std::string(...).
  std::string temporary_name = ".";
  temporary_name.append(name).append(".");
  temporary_name.append(std::to_string(files_.current_process_id())).append(".tmp");
  const std::string temporary = path_of(temporary_name);

  // Opened first, so that a folder that cannot be flushed fails before anything changes.
  PosixResult<OwnedDescriptor> folder = files_.open_directory(folder_.empty() ? "." : folder_);
  if (!folder) return failure_of(folder.error());

  PosixResult<OwnedDescriptor> file = files_.create_new_file(temporary);
  if (!file && file.error().code == EEXIST) {
    (void)files_.remove_file(temporary);
    file = files_.create_new_file(temporary);
  }
  if (!file) return failure_of(file.error());

  const auto written = [&]() -> StateResult<void> {
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const PosixResult<std::size_t> taken = files_.write_file(*file, rest);
      if (!taken) return failure_of(taken.error());
      if (*taken == 0) {
        return std::unexpected(StateFailure{std::string(FAILED_TO_WRITE_WHOLE_BUFFER)});
      }
      rest.remove_prefix(std::min(*taken, rest.size()));
    }
    if (const PosixStatus flushed = files_.flush_file(*file); !flushed) {
      return failure_of(flushed.error());
    }
    file->reset();
    if (const PosixStatus moved = files_.rename_file(temporary, target); !moved) {
      return failure_of(moved.error());
    }
    return {};
  }();
  if (!written) {
    file->reset();
    (void)files_.remove_file(temporary);
    return written;
  }

  // The new name survives a crash only once the folder is flushed. When that fails the target
  // already holds the new bytes, but the failure is reported: no caller may rely on them.
  if (const PosixStatus flushed = files_.flush_file(*folder); !flushed) {
    return failure_of(flushed.error());
  }
  return {};
}

std::uint64_t PosixStateStore::now_unix_ms() {
  const std::chrono::nanoseconds since_epoch = files_.realtime_now();
  if (since_epoch.count() < 0) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
}

std::string PosixStateStore::path_of(std::string_view name) const {
  return folder_.empty() ? std::string(name) : join_path(folder_, name);
}

}  // namespace vantrel
