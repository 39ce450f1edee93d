#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf.hpp"
#include "fault_plan.hpp"
#include "domain/state/windows/state_files.hpp"
#include "domain/state/windows/windows_state_store.hpp"

namespace vantrel::testing {

// An in-memory Windows file system and clock for the state's seam. It records every call as
// "<call> <path>" (paths in UTF-8) and fails any call with any code through its fault plan
// (its own, or one shared with other fakes). It also keeps what would survive a crash: the
// bytes of a file as last flushed, and moves and creations as done (write-through).
class FakeStateFiles final : public StateFileSystem {
 public:
  static constexpr std::u16string_view APP_DATA = u"C:\\Users\\tester\\AppData\\Local";
  static constexpr std::u16string_view STATE_FOLDER =
      u"C:\\Users\\tester\\AppData\\Local\\com.vantrel.print";

  explicit FakeStateFiles(FaultPlan* shared_plan = nullptr)
      : plan_(shared_plan != nullptr ? shared_plan : &own_plan_) {
    for (const char16_t* folder :
         {u"C:\\", u"C:\\Users", u"C:\\Users\\tester", u"C:\\Users\\tester\\AppData",
          u"C:\\Users\\tester\\AppData\\Local"}) {
      folders.insert(folder);
    }
  }
  // The plan may be this fake's own: a copy would share it by mistake.
  FakeStateFiles(const FakeStateFiles&) = delete;
  FakeStateFiles& operator=(const FakeStateFiles&) = delete;

  // --- What the tests arrange and inspect ---

  std::set<std::u16string> folders;
  std::u16string app_data{APP_DATA};

  // The Windows state over these files, with its folder made on first use as every message
  // makes it first.
  WindowsStateStore& store() {
    if (!store_) {
      store_.emplace(*this);
      (void)store_->make_folder();
    }
    return *store_;
  }
  std::uint32_t process_id = 4242;
  std::uint64_t file_time_ticks = 116'444'736'000'000'000 + 1'700'000'000'000ull * 10'000;
  std::chrono::nanoseconds clock{0};
  // Another process holds the lock while clock < this.
  std::chrono::nanoseconds other_lock_holder_until{0};
  // How much the clock moves per pause, as a fraction of the pause (timers may wake early or late).
  double pause_speed = 1.0;
  // Largest number of bytes one write accepts.
  std::size_t write_limit = SIZE_MAX;

  std::vector<std::string> calls;
  std::vector<std::chrono::nanoseconds> pauses;
  int lock_attempts = 0;
  std::optional<std::chrono::nanoseconds> lock_taken_at;

  // The next `times` calls of `call` (a method name of the seam) fail with `code`; times < 0
  // means every call from now on.
  void fail(std::string_view call, std::uint32_t code, int times = 1) {
    plan_->fail(call, code, 1, times);
  }
  [[nodiscard]] FaultPlan& plan() { return *plan_; }

  void put_file(std::u16string_view path, std::string content) {
    durable_[std::u16string(path)] = content;
    files_[std::u16string(path)] = std::make_shared<std::string>(std::move(content));
  }
  // The files as a crash now would leave them (flushed bytes are kept only while a crash is
  // planned: copying them costs the benchmarks).
  [[nodiscard]] const std::map<std::u16string, std::string>& surviving_files() const {
    return durable_;
  }
  [[nodiscard]] std::optional<std::string> file(std::u16string_view path) const {
    const auto it = files_.find(std::u16string(path));
    if (it == files_.end()) return std::nullopt;
    return *it->second;
  }
  [[nodiscard]] std::vector<std::u16string> file_names() const {
    std::vector<std::u16string> names;
    for (const auto& [path, content] : files_) names.push_back(path);
    return names;
  }
  [[nodiscard]] std::size_t open_handle_count() const { return handles_.size(); }
  [[nodiscard]] bool lock_held() const { return lock_handle_.has_value(); }

  // Only the calls whose name starts with the prefix.
  [[nodiscard]] std::vector<std::string> calls_of(std::string_view prefix) const {
    std::vector<std::string> matching;
    for (const std::string& call : calls) {
      if (call.starts_with(prefix)) matching.push_back(call);
    }
    return matching;
  }

  // --- The seam ---

  OsResult<std::u16string> local_app_data_path() override {
    if (auto error = record("local_app_data_path", u"")) return std::unexpected(*error);
    return app_data;
  }

  OsStatus create_directory(const std::u16string& path) override {
    if (auto error = record("create_directory", path)) return std::unexpected(*error);
    if (folders.contains(path) || files_.contains(path)) {
      return std::unexpected(OsError{os_code::ALREADY_EXISTS});
    }
    if (!parent_is_folder(path)) return std::unexpected(OsError{os_code::PATH_NOT_FOUND});
    folders.insert(path);
    return {};
  }

  bool is_directory(const std::u16string& path) override {
    calls.push_back("is_directory " + utf16_to_utf8(path));
    if (plan_->enter("is_directory")) return false;
    return folders.contains(path);
  }

  OsResult<OwnedFile> open_lock_file(const std::u16string& path) override {
    if (auto error = record("open_lock_file", path)) return std::unexpected(*error);
    if (auto error = check_openable(path)) return std::unexpected(*error);
    auto& content = files_[path];
    if (!content) {
      content = std::make_shared<std::string>();
      durable_[path];
    }
    return open_handle(content);
  }

  OsStatus lock_whole_file(const OwnedFile& file) override {
    ++lock_attempts;
    if (auto error = record("lock_whole_file", u"")) return std::unexpected(*error);
    if (lock_handle_ || clock < other_lock_holder_until) {
      return std::unexpected(OsError{os_code::LOCK_VIOLATION});
    }
    lock_handle_ = file.get();
    lock_taken_at = clock;
    return {};
  }

  OsResult<std::string> read_whole_file(const std::u16string& path) override {
    if (auto error = record("read_whole_file", path)) return std::unexpected(*error);
    if (folders.contains(path)) return std::unexpected(OsError{os_code::ACCESS_DENIED});
    const auto it = files_.find(path);
    if (it != files_.end()) return *it->second;
    return std::unexpected(
        OsError{parent_is_folder(path) ? os_code::FILE_NOT_FOUND : os_code::PATH_NOT_FOUND});
  }

  OsResult<OwnedFile> create_file_for_writing(const std::u16string& path) override {
    if (auto error = record("create_file_for_writing", path)) return std::unexpected(*error);
    if (auto error = check_openable(path)) return std::unexpected(*error);
    auto content = std::make_shared<std::string>();
    files_[path] = content;
    durable_[path].clear();
    return open_handle(content);
  }

  OsResult<std::size_t> write_file(const OwnedFile& file, std::string_view bytes) override {
    if (auto error = record("write_file", u"")) return std::unexpected(*error);
    const std::size_t taken = std::min(bytes.size(), write_limit);
    handles_.at(file.get())->append(bytes.substr(0, taken));
    return taken;
  }

  OsStatus flush_file(const OwnedFile& file) override {
    if (auto error = record("flush_file", u"")) return std::unexpected(*error);
    if (plan_->crash_planned()) {
      const auto& content = handles_.at(file.get());
      for (const auto& [path, bytes] : files_) {
        if (bytes == content) durable_[path] = *content;
      }
    }
    return {};
  }

  OsStatus replace_file(const std::u16string& from, const std::u16string& to) override {
    calls.push_back("replace_file " + utf16_to_utf8(from) + " -> " + utf16_to_utf8(to));
    if (auto fault = plan_->enter("replace_file")) return std::unexpected(OsError{fault->error});
    const auto source = files_.find(from);
    if (source == files_.end()) return std::unexpected(OsError{os_code::FILE_NOT_FOUND});
    if (folders.contains(to)) return std::unexpected(OsError{os_code::ACCESS_DENIED});
    auto content = source->second;  // open handles keep writing to the moved file
    files_.erase(source);
    files_[to] = std::move(content);
    // The move is written through; the bytes are as durable as they were under the old name.
    durable_[to] = durable_[from];
    durable_.erase(from);
    return {};
  }

  std::uint32_t current_process_id() override { return process_id; }
  std::uint64_t system_time_ticks() override { return file_time_ticks; }
  std::chrono::nanoseconds monotonic_now() override { return clock; }

  void pause(std::chrono::nanoseconds duration) override {
    pauses.push_back(duration);
    const auto moved =
        static_cast<std::int64_t>(static_cast<double>(duration.count()) * pause_speed);
    clock += std::chrono::nanoseconds(std::max<std::int64_t>(moved, 1));
  }

 private:
  void close_file(std::uintptr_t handle) noexcept override {
    calls.push_back("close_file");
    handles_.erase(handle);
    if (lock_handle_ == handle) lock_handle_.reset();
  }

  std::optional<OsError> record(const std::string& call, std::u16string_view path) {
    calls.push_back(path.empty() ? call : call + " " + utf16_to_utf8(path));
    if (auto fault = plan_->enter(call)) return OsError{fault->error};
    return std::nullopt;
  }

  static std::u16string parent_of(const std::u16string& path) {
    const auto slash = path.find_last_of(u'\\');
    if (slash == std::u16string::npos) return u"";
    std::u16string parent = path.substr(0, slash);
    if (parent.size() == 2 && parent[1] == u':') parent.push_back(u'\\');
    return parent;
  }

  bool parent_is_folder(const std::u16string& path) const {
    return folders.contains(parent_of(path));
  }

  std::optional<OsError> check_openable(const std::u16string& path) const {
    if (folders.contains(path)) return OsError{os_code::ACCESS_DENIED};
    if (!parent_is_folder(path)) return OsError{os_code::PATH_NOT_FOUND};
    return std::nullopt;
  }

  OwnedFile open_handle(std::shared_ptr<std::string> content) {
    const std::uintptr_t handle = next_handle_++;
    handles_[handle] = std::move(content);
    return OwnedFile(handle, CloseStateFile{this});
  }

  FaultPlan own_plan_;
  FaultPlan* plan_;
  std::optional<WindowsStateStore> store_;
  std::map<std::u16string, std::string> durable_;
  std::map<std::u16string, std::shared_ptr<std::string>> files_;
  std::map<std::uintptr_t, std::shared_ptr<std::string>> handles_;
  std::optional<std::uintptr_t> lock_handle_;
  std::uintptr_t next_handle_ = 0x100;
};

}  // namespace vantrel::testing
