#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/state/state_files.hpp"

namespace vantrel {

// The seam between the doctor's rules and the system: what a browser reads to find the host
// (registry values on Windows, manifest files, the environment that places the per-user
// folders) and the host started as a browser starts it. The calls only translate; every rule
// (where each browser looks, in which order, what it accepts, the framing and the deadline of
// the hello) lives above it, once.

// Which browsers' rules apply: the registry on Windows, manifest folders on Linux.
enum class BrowserPlatform : std::uint8_t { windows, linux };

enum class RegistryRoot : std::uint8_t { current_user, local_machine };
// HKLM\Software as 32-bit programs see it (WOW6432Node) or as 64-bit programs do; HKCU\Software
// is the same in both.
enum class RegistryView : std::uint8_t { shared, wow64_32, wow64_64 };

struct RegistryKey {
  RegistryRoot root = RegistryRoot::current_user;
  RegistryView view = RegistryView::shared;
  std::string path;  // below the root: "Software\Google\Chrome\NativeMessagingHosts\<name>"
};

// One read of a started program's standard output.
struct ProgramRead {
  enum class Kind : std::uint8_t { data, ended, timed_out, failed } kind = Kind::failed;
  std::size_t bytes = 0;      // with data
  std::uint32_t os_code = 0;  // with failed
};

// A program started by start_program. Destroying it ends the program if it still runs, with
// whatever it started in turn, and releases its pipes.
class StartedProgram {
 public:
  virtual ~StartedProgram() = default;

  // Writes the bytes to its standard input, then closes that: the os code on failure.
  [[nodiscard]] virtual std::expected<void, std::uint32_t> send_and_close(
      std::string_view bytes) = 0;
  // Waits until output arrives, the output ends, or the deadline passes.
  [[nodiscard]] virtual ProgramRead read(std::span<char> buffer,
                                         std::chrono::steady_clock::time_point deadline) = 0;
  // Its exit status once it has ended, waiting up to `limit`; nullopt while it still runs.
  [[nodiscard]] virtual std::optional<std::uint32_t> exit_status(
      std::chrono::milliseconds limit) = 0;
};

// Who may change a file or folder: its permission bits and whether its owner is neither the
// caller nor the administrator.
struct FileAccess {
  std::uint32_t mode = 0;
  bool foreign_owner = false;
};

class DoctorSystem {
 public:
  virtual ~DoctorSystem() = default;

  [[nodiscard]] virtual BrowserPlatform platform() const = 0;
  // A key's default value as text (REG_SZ, or REG_EXPAND_SZ expanded); nullopt when the key or
  // its value is missing or is not text. Nothing on Linux.
  [[nodiscard]] virtual std::optional<std::string> registry_default(const RegistryKey& key) = 0;
  [[nodiscard]] virtual std::optional<std::string> environment(std::string_view name) = 0;
  // A whole file, on the system's path syntax; not_found when it or its folder is missing.
  [[nodiscard]] virtual FileResult<std::string> read_file(const std::string& path) = 0;
  // Who may change the file or folder (following links); nullopt when it is missing or the
  // system cannot say so in these terms (Windows' access lists).
  [[nodiscard]] virtual std::optional<FileAccess> file_access(const std::string& path) = 0;
  // Starts the program with exactly these arguments after its own name, standard input and
  // output on pipes and standard error discarded; not_found when there is no such program.
  [[nodiscard]] virtual std::expected<std::unique_ptr<StartedProgram>, FileError> start_program(
      const std::string& program, const std::vector<std::string>& arguments) = 0;
};

// The process's own: Windows (doctor_system_win32.cpp) or POSIX (doctor_system_posix.cpp).
[[nodiscard]] DoctorSystem& system_doctor_system();

}  // namespace vantrel
