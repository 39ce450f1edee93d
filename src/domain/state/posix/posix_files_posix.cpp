#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/file.h>
#endif

#include <cerrno>
#include <cstdlib>

#include "domain/state/posix/posix_files.hpp"

namespace vantrel {
namespace {

std::unexpected<PosixError> last_error() {
  return std::unexpected(PosixError{errno});
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

class RealPosixFiles final : public PosixFiles {
 public:
  std::optional<std::string> environment_variable(std::string_view name) override {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  PosixStatus create_directory(const std::string& path) override {
    if (mkdir(path.c_str(), 0700) != 0) return last_error();
    return {};
  }

  bool is_directory(const std::string& path) override {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }

  PosixResult<OwnedDescriptor> open_lock_file(const std::string& path) override {
    return open_path(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }

  PosixStatus lock_whole_file(const OwnedDescriptor& file) override {
#ifdef __APPLE__
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return last_error();
#else
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;  // to the end, however long the file grows
    if (fcntl(file.get(), F_OFD_SETLK, &whole) != 0) return last_error();
#endif
    return {};
  }

  PosixResult<OwnedDescriptor> open_for_reading(const std::string& path) override {
    return open_path(path, O_RDONLY | O_CLOEXEC, 0);
  }

  PosixResult<std::size_t> read_file(const OwnedDescriptor& file, std::span<char> buffer) override {
    const ssize_t got = retrying([&] { return read(file.get(), buffer.data(), buffer.size()); });
    if (got < 0) return last_error();
    return static_cast<std::size_t>(got);
  }

  PosixResult<OwnedDescriptor> open_directory(const std::string& path) override {
    return open_path(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  }

  PosixResult<OwnedDescriptor> create_new_file(const std::string& path) override {
    return open_path(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }

  PosixResult<std::size_t> write_file(const OwnedDescriptor& file,
                                      std::string_view bytes) override {
    const ssize_t taken = retrying([&] { return write(file.get(), bytes.data(), bytes.size()); });
    if (taken < 0) return last_error();
    return static_cast<std::size_t>(taken);
  }

  PosixStatus flush_file(const OwnedDescriptor& file) override {
#ifdef __APPLE__
    if (retrying([&] { return fcntl(file.get(), F_FULLFSYNC); }) != 0) return last_error();
#else
    if (retrying([&] { return fsync(file.get()); }) != 0) return last_error();
#endif
    return {};
  }

  PosixStatus rename_file(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
  }

  PosixStatus remove_file(const std::string& path) override {
    if (unlink(path.c_str()) != 0) return last_error();
    return {};
  }

  std::uint32_t current_process_id() override {
    return static_cast<std::uint32_t>(getpid());
  }

  std::chrono::nanoseconds realtime_now() override {
    return clock_now(CLOCK_REALTIME);
  }
  std::chrono::nanoseconds monotonic_now() override {
    return clock_now(CLOCK_MONOTONIC);
  }

  void pause(std::chrono::nanoseconds duration) override {
    if (duration.count() <= 0) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec rest{static_cast<time_t>(seconds.count()),
                  static_cast<long>((duration - seconds).count())};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
  }

  // Linux and macOS release the descriptor even when close reports an error: never retried.
  void close_file(int descriptor) noexcept override {
    (void)close(descriptor);
  }

 private:
  PosixResult<OwnedDescriptor> open_path(const std::string& path, int flags, mode_t mode) {
    const int descriptor = retrying([&] { return open(path.c_str(), flags, mode); });
    if (descriptor < 0) return last_error();
    return OwnedDescriptor(descriptor, ClosePosixFile{this});
  }
};

}  // namespace

PosixFiles& posix_files() {
  static RealPosixFiles files;
  return files;
}

}  // namespace vantrel
