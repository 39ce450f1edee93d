#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "base/owned.hpp"
#include "doctor/doctor_system.hpp"

extern char** environ;

namespace vantrel {
namespace {

struct CloseDescriptor {
  static bool is_none(int descriptor) noexcept { return descriptor < 0; }
  void operator()(int descriptor) const noexcept { ::close(descriptor); }
};
using Descriptor = Owned<int, CloseDescriptor>;

// How often a wait for a child's end looks again.
constexpr std::chrono::milliseconds EXIT_POLL_INTERVAL{10};

FileError error_of(int code) {
  return FileError{code == ENOENT ? FileErrorKind::not_found : FileErrorKind::other,
                   static_cast<std::uint32_t>(code)};
}

// The child runs in a process group of its own, so that ending it also ends what it started
// (a wrapper script's programs, say).
class PosixStartedProgram final : public StartedProgram {
 public:
  PosixStartedProgram(pid_t pid, Descriptor input, Descriptor output)
      : pid_(pid), input_(std::move(input)), output_(std::move(output)) {}
  PosixStartedProgram(const PosixStartedProgram&) = delete;
  PosixStartedProgram& operator=(const PosixStartedProgram&) = delete;

  ~PosixStartedProgram() override {
    if (status_) return;
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  std::expected<void, std::uint32_t> send_and_close(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t put = ::write(input_.get(), bytes.data(), bytes.size());
      if (put < 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        input_.reset();
        return std::unexpected(static_cast<std::uint32_t>(code));
      }
      bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    input_.reset();
    return {};
  }

  ProgramRead read(std::span<char> buffer,
                   std::chrono::steady_clock::time_point deadline) override {
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {ProgramRead::Kind::timed_out};
      pollfd ready{output_.get(), POLLIN, 0};
      const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
      if (polled < 0 && errno != EINTR) return failed();
      if (polled <= 0) continue;
      const ssize_t got = ::read(output_.get(), buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        return failed();
      }
      if (got == 0) return {ProgramRead::Kind::ended};
      return {ProgramRead::Kind::data, static_cast<std::size_t>(got)};
    }
  }

  std::optional<std::uint32_t> exit_status(std::chrono::milliseconds limit) override {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status_) {
      int status = 0;
      const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
      if (ended == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (ended < 0 && errno != EINTR) {
        return std::nullopt;
      } else if (std::chrono::steady_clock::now() >= deadline) {
        return std::nullopt;
      } else {
        std::this_thread::sleep_for(EXIT_POLL_INTERVAL);
      }
    }
    return static_cast<std::uint32_t>(*status_);
  }

 private:
  static ProgramRead failed() {
    return {ProgramRead::Kind::failed, 0, static_cast<std::uint32_t>(errno)};
  }

  pid_t pid_;
  Descriptor input_;
  Descriptor output_;
  std::optional<int> status_;  // once reaped: its pid may then belong to another process
};

// File actions and attributes of posix_spawn, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};

  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

class PosixDoctorSystem final : public DoctorSystem {
 public:
  BrowserPlatform platform() const override { return BrowserPlatform::linux; }

  std::optional<std::string> registry_default(const RegistryKey&) override { return std::nullopt; }

  std::optional<std::string> environment(std::string_view name) override {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  // Browsers follow links to their manifests (the .deb installs its system manifests as links),
  // so the doctor does too; a FIFO or a device is still never waited on.
  FileResult<std::string> read_file(const std::string& path) override {
    const auto failed = [](int code) { return std::unexpected(error_of(code)); };
    const int opened = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return failed(errno);
    const Descriptor file(opened);
    struct stat status {};
    if (::fstat(opened, &status) != 0) return failed(errno);
    if (!S_ISREG(status.st_mode)) {
      return std::unexpected(FileError{FileErrorKind::not_regular, EINVAL});
    }
    std::string contents;
    char chunk[16 * 1024];
    for (;;) {
      const ssize_t count = ::read(opened, chunk, sizeof chunk);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return failed(errno);
      if (count == 0) return contents;
      contents.append(chunk, static_cast<std::size_t>(count));
    }
  }

  std::optional<FileAccess> file_access(const std::string& path) override {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileAccess{static_cast<std::uint32_t>(status.st_mode & 07777),
                      status.st_uid != ::getuid() && status.st_uid != 0};
  }

  std::expected<std::unique_ptr<StartedProgram>, FileError> start_program(
      const std::string& program, const std::vector<std::string>& arguments) override {
    // A child that ends before reading its request must be a write error here, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) return std::unexpected(error_of(errno));
    Descriptor input_read(input[0]), input_write(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0) return std::unexpected(error_of(errno));
    Descriptor output_read(output[0]), output_write(output[1]);

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, input_read.get(), 0);
    posix_spawn_file_actions_adddup2(&setup.actions, output_write.get(), 1);
    posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    // Its own process group, and SIGPIPE as a browser leaves it, not as ignored here.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    // glibc reports a failed exec here, as the error of the call.
    if (const int failed = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes,
                                         argv.data(), environ);
        failed != 0) {
      return std::unexpected(error_of(failed));
    }
    return std::make_unique<PosixStartedProgram>(pid, std::move(input_write),
                                                 std::move(output_read));
  }
};

}  // namespace

DoctorSystem& system_doctor_system() {
  static PosixDoctorSystem system;
  return system;
}

}  // namespace vantrel
