#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "doctor/doctor_system.hpp"

namespace vantrel::fakes {

// A system as browsers see it, in memory: registry values, the environment, files, and programs
// that answer as a test scripts them. It records every start with what the program was sent.
class FakeDoctorSystem final : public DoctorSystem {
 public:
  // What a started program does: writes `output` and ends with `exit_status`, or keeps running
  // (and silent once its output is out) when it hangs.
  struct Program {
    std::string output;
    std::uint32_t exit_status = 0;
    bool hangs = false;
  };
  struct Start {
    std::string program;
    std::vector<std::string> arguments;
    std::string input;
  };

  explicit FakeDoctorSystem(BrowserPlatform platform) : platform_(platform) {}

  // Keys by their label: "HKCU\<path>", "HKLM\<path> (32-bit view)", "HKLM\<path> (64-bit view)".
  std::map<std::string, std::string> registry;
  std::map<std::string, std::string, std::less<>> environment_values;
  std::map<std::string, std::string> files;
  std::map<std::string, FileAccess> access;  // paths not here: unknown
  std::map<std::string, Program> programs;
  std::deque<Start> starts;  // deque: a running program keeps a reference to its input
  std::function<void()> on_start = [] {};  // what a started program does to the world

  BrowserPlatform platform() const override { return platform_; }

  std::optional<std::string> registry_default(const RegistryKey& key) override {
    std::string label = key.root == RegistryRoot::current_user ? "HKCU\\" : "HKLM\\";
    label += key.path;
    if (key.view == RegistryView::wow64_32) label += " (32-bit view)";
    if (key.view == RegistryView::wow64_64) label += " (64-bit view)";
    const auto it = registry.find(label);
    if (it == registry.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> environment(std::string_view name) override {
    const auto it = environment_values.find(name);
    if (it == environment_values.end()) return std::nullopt;
    return it->second;
  }

  FileResult<std::string> read_file(const std::string& path) override {
    const auto it = files.find(path);
    if (it == files.end()) return std::unexpected(FileError{FileErrorKind::not_found, ENOENT});
    return it->second;
  }

  std::optional<FileAccess> file_access(const std::string& path) override {
    const auto it = access.find(path);
    if (it == access.end()) return std::nullopt;
    return it->second;
  }

  std::expected<std::unique_ptr<StartedProgram>, FileError> start_program(
      const std::string& program, const std::vector<std::string>& arguments) override {
    const auto it = programs.find(program);
    if (it == programs.end()) return std::unexpected(FileError{FileErrorKind::not_found, ENOENT});
    starts.push_back(Start{program, arguments, ""});
    on_start();
    return std::make_unique<FakeProgram>(it->second, starts.back().input);
  }

 private:
  class FakeProgram final : public StartedProgram {
   public:
    FakeProgram(const Program& script, std::string& input) : script_(script), input_(input) {}

    std::expected<void, std::uint32_t> send_and_close(std::string_view bytes) override {
      input_.append(bytes);
      return {};
    }
    ProgramRead read(std::span<char> buffer, std::chrono::steady_clock::time_point) override {
      if (sent_ == script_.output.size()) {
        return {script_.hangs ? ProgramRead::Kind::timed_out : ProgramRead::Kind::ended};
      }
      const std::size_t n = std::min(buffer.size(), script_.output.size() - sent_);
      std::memcpy(buffer.data(), script_.output.data() + sent_, n);
      sent_ += n;
      return {ProgramRead::Kind::data, n};
    }
    std::optional<std::uint32_t> exit_status(std::chrono::milliseconds) override {
      if (script_.hangs) return std::nullopt;
      return script_.exit_status;
    }

   private:
    Program script_;
    std::string& input_;
    std::size_t sent_ = 0;
  };

  BrowserPlatform platform_;
};

}  // namespace vantrel::fakes
