#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "domain/state/state_files.hpp"

namespace vantrel {
namespace {

// Reading grows the text by this much per read, whatever size the file claims.
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;
constexpr mode_t OWNER_ONLY_FOLDER = 0700;

FileErrorKind kind_of(int code) {
  switch (code) {
    case ENOENT:
      return FileErrorKind::not_found;
    case EEXIST:
      return FileErrorKind::exists;
    case ELOOP:  // a link where O_NOFOLLOW opens
    case EISDIR:
    case ENXIO:  // a FIFO without a reader, opened non-blocking for writing
      return FileErrorKind::not_regular;
    default:
      return FileErrorKind::other;
  }
}

std::unexpected<FileError> last_error() {
  const int code = errno;
  return std::unexpected(FileError{kind_of(code), static_cast<std::uint32_t>(code)});
}

// Calls that a signal can interrupt are simply made again.
template <class Call>
auto retrying(Call call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

std::chrono::nanoseconds clock_now(clockid_t clock) {
  timespec now{};
  (void)clock_gettime(clock, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

class PosixStateFiles final : public StateFiles {
 public:
  PathSyntax path_syntax() const override { return PathSyntax::posix; }

  std::optional<std::string> locate_state_folder() override {
    return posix_state_folder(environment("XDG_STATE_HOME"), environment("HOME"));
  }

  FileStatus make_folder(const std::string& path) override {
    if (mkdir(path.c_str(), OWNER_ONLY_FOLDER) != 0) return last_error();
    return {};
  }

  bool is_folder(const std::string& path) override {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  bool is_real_folder(const std::string& path) override {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  FileStatus keep_private(const std::string& path) override {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return last_error();
    if (status.st_uid != geteuid())
      return std::unexpected(FileError{FileErrorKind::foreign, EPERM});
    if ((status.st_mode & 07777) != OWNER_ONLY_FOLDER &&
        chmod(path.c_str(), OWNER_ONLY_FOLDER) != 0) {
      return last_error();
    }
    return {};
  }

  // A write lock needs a descriptor open for writing.
  FileResult<StateFile> open_lock_file(const std::string& path) override {
    return open_path(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }

  // An open-file-description lock: it belongs to this open file, not to the process, so no
  // other descriptor of the same file closing elsewhere in the process can drop it.
  FileStatus try_lock(const StateFile& file) override {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;  // to the end, however long the file grows
    if (fcntl(descriptor(file), F_OFD_SETLK, &whole) == 0) return {};
    const int code = errno;
    // Another holder (EWOULDBLOCK is EAGAIN on Linux). EINVAL, from a file system without OFD
    // locks, is a failure like any other.
    const bool held = code == EAGAIN || code == EACCES;
    return std::unexpected(FileError{held ? FileErrorKind::contended : FileErrorKind::other,
                                     static_cast<std::uint32_t>(code)});
  }

  FileResult<std::string> read_file(const std::string& path) override {
    FileResult<StateFile> file = open_path(path, O_RDONLY | O_CLOEXEC, 0);
    if (!file) return std::unexpected(file.error());
    std::string bytes;
    for (;;) {
      const std::size_t used = bytes.size();
      bytes.resize(used + READ_CHUNK_BYTES);
      const ssize_t got = retrying(
          [&] { return ::read(descriptor(*file), bytes.data() + used, READ_CHUNK_BYTES); });
      if (got < 0) return last_error();
      bytes.resize(used + static_cast<std::size_t>(got));
      if (got == 0) return bytes;
    }
  }

  FileResult<StateFile> create_file(const std::string& path) override {
    return open_path(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }

  FileResult<std::size_t> write(const StateFile& file, std::string_view bytes) override {
    const ssize_t taken =
        retrying([&] { return ::write(descriptor(file), bytes.data(), bytes.size()); });
    if (taken < 0) return last_error();
    return static_cast<std::size_t>(taken);
  }

  FileStatus flush(const StateFile& file) override {
    if (retrying([&] { return fsync(descriptor(file)); }) != 0) return last_error();
    return {};
  }

  FileStatus rename_over(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
  }

  FileStatus flush_folder(const std::string& path) override {
    // The state folder itself may be a link that its user made.
    const int opened =
        retrying([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (opened < 0) return last_error();
    return flush(StateFile(static_cast<std::uintptr_t>(opened), {this}));
  }

  FileStatus remove(const std::string& path) override {
    if (unlink(path.c_str()) != 0) return last_error();
    return {};
  }

  FileResult<StateFile> open_for_append(const std::string& path) override {
    return open_path(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }

  FileResult<std::uint64_t> file_size(const std::string& path) override {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return last_error();
    return static_cast<std::uint64_t>(status.st_size);
  }

  FileStatus cut_to(const StateFile& file, std::uint64_t size) override {
    if (retrying([&] { return ftruncate(descriptor(file), static_cast<off_t>(size)); }) != 0) {
      return last_error();
    }
    return {};
  }

  bool removes_failed_temporary() const override { return true; }

  std::uint32_t process_id() override { return static_cast<std::uint32_t>(getpid()); }

  std::uint64_t now_unix_ms() override {
    const std::chrono::nanoseconds since_epoch = clock_now(CLOCK_REALTIME);
    if (since_epoch.count() < 0) return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
  }

  std::chrono::nanoseconds monotonic_now() override { return clock_now(CLOCK_MONOTONIC); }

  void pause(std::chrono::nanoseconds duration) override {
    if (duration.count() <= 0) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec rest{static_cast<time_t>(seconds.count()),
                  static_cast<long>((duration - seconds).count())};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
  }

  // Linux releases the descriptor even when close reports an error: never retried.
  void close(std::uintptr_t handle) noexcept override { (void)::close(static_cast<int>(handle)); }

 private:
  static int descriptor(const StateFile& file) { return static_cast<int>(file.get()); }

  // Never through a link, and never waiting on a FIFO: opened non-blocking, refused unless a
  // regular file, then blocking again.
  FileResult<StateFile> open_path(const std::string& path, int flags, mode_t mode) {
    const int opened =
        retrying([&] { return ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK, mode); });
    if (opened < 0) return last_error();
    StateFile file(static_cast<std::uintptr_t>(opened), {this});
    struct stat status {};
    if (fstat(opened, &status) != 0) return last_error();
    if (!S_ISREG(status.st_mode))
      return std::unexpected(FileError{FileErrorKind::not_regular, EINVAL});
    const int status_flags = fcntl(opened, F_GETFL);
    if (status_flags == -1 || fcntl(opened, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
      return last_error();
    }
    return file;
  }
};

}  // namespace

StateFiles& system_state_files() {
  static PosixStateFiles files;
  return files;
}

}  // namespace vantrel
