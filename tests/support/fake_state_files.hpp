#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "domain/state/state_files.hpp"
#include "domain/state/state_store.hpp"
#include "fault_plan.hpp"

namespace vantrel::fakes {

// Which system the in-memory files behave like: its paths, error codes, how a leftover file is
// created over, and what a crash keeps of a move.
enum class Flavour : std::uint8_t { windows, posix };

// The state's files in memory, for every test of the state's rules and of what uses them. It
// records every call as "<call> <path>", fails any call with any code through its fault plan (its
// own, or one shared with other fakes), and keeps what would survive a crash: a file's bytes as
// last flushed, and the folder entries as last made durable (at once on Windows, where creations
// and moves are written through; at the folder's flush on POSIX).
class FakeStateFiles final : public StateFiles {
 public:
  explicit FakeStateFiles(Flavour flavour = Flavour::posix, FaultPlan* shared_plan = nullptr)
      : flavour(flavour),
        base_folder(flavour == Flavour::windows ? "C:\\Users\\tester\\AppData\\Local"
                                                : "/home/tester/.local/state"),
        plan_(shared_plan != nullptr ? shared_plan : &own_plan_) {
    std::optional<std::string> folder = base_folder;
    while (folder && !folder->empty()) {
      folders.insert(*folder);
      folder = parent_path(path_syntax(), *folder);
    }
  }
  explicit FakeStateFiles(FaultPlan* shared_plan) : FakeStateFiles(Flavour::posix, shared_plan) {}
  // The plan may be this fake's own: a copy would share it by mistake.
  FakeStateFiles(const FakeStateFiles&) = delete;
  FakeStateFiles& operator=(const FakeStateFiles&) = delete;

  // --- What the tests arrange and inspect ---

  const Flavour flavour;
  // Where the user's application state goes; nullopt: it cannot be located.
  std::optional<std::string> base_folder;
  std::set<std::string> folders;
  std::set<std::string> foreign_folders;  // owned by another user
  std::set<std::string> loose_folders;    // not owner-only until kept private
  std::uint32_t pid = 4242;
  std::uint64_t now_ms = 1'700'000'000'000;
  std::chrono::nanoseconds clock{0};
  // Another process holds the lock while clock < this.
  std::chrono::nanoseconds other_lock_holder_until{0};
  // How much the clock moves per pause, as a fraction of the pause (timers may wake early or late).
  double pause_speed = 1.0;
  // Largest number of bytes one write accepts.
  std::size_t write_limit = SIZE_MAX;
  // Bytes the disk (or the file-size limit) still takes: a write takes what fits and, once
  // nothing fits, fails with ENOSPC (112 on Windows).
  std::uint64_t disk_room = UINT64_MAX;
  // Paths where a link, a FIFO or a device stands: every open of them is refused as the real
  // files refuse them (not_regular), and they are no real folder.
  std::set<std::string> not_regular;

  std::vector<std::string> calls;
  std::vector<std::chrono::nanoseconds> pauses;
  int lock_attempts = 0;
  std::optional<std::chrono::nanoseconds> lock_taken_at;

  [[nodiscard]] std::string state_folder() const {
    return join_path(path_syntax(), base_folder.value_or(""), STATE_FOLDER_NAME);
  }
  // A file of the state folder.
  [[nodiscard]] std::string path(std::string_view name) const {
    return join_path(path_syntax(), state_folder(), name);
  }

  // The state's rules over these files, with the folder made on first use as every message
  // makes it first.
  StateStore& store() {
    if (!store_) {
      store_.emplace(*this);
      (void)store_->make_folder();
    }
    return *store_;
  }

  // The next `times` calls of `call` (a method name of the seam) fail with `code`, a code of
  // this flavour's system; times < 0 means every call from now on.
  void fail(std::string_view call, std::uint32_t code, int times = 1) {
    plan_->fail(call, code, 1, times);
  }
  [[nodiscard]] FaultPlan& plan() { return *plan_; }

  void put_file(const std::string& path, std::string content) {
    // On disk as it stands: its durable bytes are its bytes until it is written to.
    auto inode = std::make_shared<Inode>(Inode{std::move(content), std::nullopt});
    names_[path] = inode;
    durable_names_[path] = std::move(inode);
  }
  // The files as a crash now would leave them (flushed bytes are kept only while a crash is
  // planned: copying them costs the benchmarks).
  [[nodiscard]] std::map<std::string, std::string> surviving_files() const {
    std::map<std::string, std::string> files;
    for (const auto& [path, inode] : durable_names_) {
      files[path] = inode->durable.value_or(inode->live);
    }
    return files;
  }
  [[nodiscard]] std::optional<std::string> file(const std::string& path) const {
    const auto it = names_.find(path);
    if (it == names_.end()) return std::nullopt;
    return it->second->live;
  }
  [[nodiscard]] std::vector<std::string> file_names() const {
    std::vector<std::string> names;
    for (const auto& [path, inode] : names_) names.push_back(path);
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

  // This flavour's codes for the failures the fake makes of its own.
  [[nodiscard]] std::uint32_t not_found_code() const { return windows() ? 3 : ENOENT; }
  [[nodiscard]] std::uint32_t exists_code() const { return windows() ? 183 : EEXIST; }
  [[nodiscard]] std::uint32_t contended_code() const { return windows() ? 33 : EAGAIN; }
  [[nodiscard]] std::uint32_t is_a_folder_code() const { return windows() ? 5 : EISDIR; }

  // --- The seam ---

  PathSyntax path_syntax() const override {
    return windows() ? PathSyntax::windows : PathSyntax::posix;
  }

  std::optional<std::string> locate_state_folder() override {
    if (record("locate_state_folder", "")) return std::nullopt;
    if (!base_folder) return std::nullopt;
    return state_folder();
  }

  FileStatus make_folder(const std::string& path) override {
    if (auto error = record("make_folder", path)) return std::unexpected(*error);
    if (folders.contains(path) || names_.contains(path) || not_regular.contains(path)) {
      return failure(exists_code());
    }
    if (!parent_is_folder(path)) return failure(not_found_code());
    folders.insert(path);
    return {};
  }

  bool is_folder(const std::string& path) override {
    if (record("is_folder", path)) return false;
    return folders.contains(path);
  }

  bool is_real_folder(const std::string& path) override {
    if (record("is_real_folder", path)) return false;
    return folders.contains(path) && !not_regular.contains(path);
  }

  FileStatus keep_private(const std::string& path) override {
    if (auto error = record("keep_private", path)) return std::unexpected(*error);
    if (foreign_folders.contains(path))
      return std::unexpected(FileError{FileErrorKind::foreign, EPERM});
    loose_folders.erase(path);
    return {};
  }

  FileResult<StateFile> open_lock_file(const std::string& path) override {
    return open_or_create("open_lock_file", path);
  }

  FileStatus try_lock(const StateFile& file) override {
    ++lock_attempts;
    if (auto error = record("try_lock", "")) return std::unexpected(*error);
    if (lock_handle_ || clock < other_lock_holder_until) return failure(contended_code(), true);
    lock_handle_ = file.get();
    lock_taken_at = clock;
    return {};
  }

  FileResult<std::string> read_file(const std::string& path) override {
    if (auto error = record("read_file", path)) return std::unexpected(*error);
    if (folders.contains(path)) return failure(is_a_folder_code());
    if (not_regular.contains(path)) return refused();
    const auto it = names_.find(path);
    if (it != names_.end()) return it->second->live;
    return failure(windows() && parent_is_folder(path) ? 2 : not_found_code());
  }

  FileResult<StateFile> create_file(const std::string& path) override {
    if (auto error = record("create_file", path)) return std::unexpected(*error);
    // POSIX creates only a new file and never follows what is there.
    if (!windows() && (names_.contains(path) || not_regular.contains(path))) {
      return failure(exists_code());
    }
    if (auto error = check_openable(path)) return std::unexpected(*error);
    auto inode = std::make_shared<Inode>();
    names_[path] = inode;
    if (windows()) durable_names_[path] = inode;  // created through
    return open_handle(std::move(inode));
  }

  FileResult<std::size_t> write(const StateFile& file, std::string_view bytes) override {
    if (auto error = record("write", "")) return std::unexpected(*error);
    if (disk_room == 0 && !bytes.empty()) return failure(windows() ? 112 : ENOSPC);
    const std::size_t taken = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::min(bytes.size(), write_limit), disk_room));
    if (disk_room != UINT64_MAX) disk_room -= taken;
    Inode& inode = *handles_.at(file.get());
    if (!inode.durable) inode.durable = inode.live;  // what was on disk before this write
    inode.live.append(bytes.substr(0, taken));
    return taken;
  }

  FileStatus flush(const StateFile& file) override {
    if (auto error = record("flush", "")) return std::unexpected(*error);
    if (plan_->crash_planned()) {
      Inode& inode = *handles_.at(file.get());
      inode.durable = inode.live;
    }
    return {};
  }

  FileStatus rename_over(const std::string& from, const std::string& to) override {
    if (auto error = record("rename_over", from + " -> " + to)) return std::unexpected(*error);
    const auto source = names_.find(from);
    if (source == names_.end()) return failure(not_found_code());
    if (folders.contains(to)) return failure(is_a_folder_code());
    auto inode = source->second;  // open handles keep writing to the moved file
    names_.erase(source);
    names_[to] = inode;
    if (windows()) {  // written through
      durable_names_.erase(from);
      durable_names_[to] = std::move(inode);
    }
    return {};
  }

  FileStatus flush_folder(const std::string& path) override {
    if (auto error = record("flush_folder", path)) return std::unexpected(*error);
    if (windows()) return {};
    // The folder's entries, as they are now, are what a crash keeps.
    std::erase_if(durable_names_, [&](const auto& entry) { return in_folder(entry.first, path); });
    for (const auto& [name, inode] : names_) {
      if (in_folder(name, path)) durable_names_[name] = inode;
    }
    return {};
  }

  FileStatus remove(const std::string& path) override {
    if (auto error = record("remove", path)) return std::unexpected(*error);
    if (not_regular.erase(path) != 0) return {};
    if (names_.erase(path) == 0) return failure(not_found_code());
    if (windows()) durable_names_.erase(path);
    return {};
  }

  FileResult<StateFile> open_for_append(const std::string& path) override {
    return open_or_create("open_for_append", path);
  }

  FileResult<std::uint64_t> file_size(const std::string& path) override {
    if (auto error = record("file_size", path)) return std::unexpected(*error);
    if (not_regular.contains(path)) return 0;  // the link's, the FIFO's own size
    const auto it = names_.find(path);
    if (it == names_.end()) return failure(not_found_code());
    return it->second->live.size();
  }

  FileStatus cut_to(const StateFile& file, std::uint64_t size) override {
    if (auto error = record("cut_to", std::to_string(size))) return std::unexpected(*error);
    Inode& inode = *handles_.at(file.get());
    if (size < inode.live.size()) {
      if (disk_room != UINT64_MAX) disk_room += inode.live.size() - size;
      inode.live.resize(static_cast<std::size_t>(size));
    }
    return {};
  }

  bool removes_failed_temporary() const override { return !windows(); }
  std::uint32_t process_id() override { return pid; }
  std::uint64_t now_unix_ms() override { return now_ms; }
  std::chrono::nanoseconds monotonic_now() override { return clock; }

  void pause(std::chrono::nanoseconds duration) override {
    pauses.push_back(duration);
    const auto moved =
        static_cast<std::int64_t>(static_cast<double>(duration.count()) * pause_speed);
    clock += std::chrono::nanoseconds(std::max<std::int64_t>(moved, 1));
  }

  void close(std::uintptr_t handle) noexcept override {
    calls.push_back("close");
    handles_.erase(handle);
    if (lock_handle_ == handle) lock_handle_.reset();
  }

 private:
  struct Inode {
    std::string live;
    // The bytes a crash keeps; nullopt: the same as live (a file put on disk, never written).
    std::optional<std::string> durable = std::string();
  };

  [[nodiscard]] bool windows() const { return flavour == Flavour::windows; }

  // A code of this flavour as the real files classify it.
  [[nodiscard]] FileError classify(std::uint32_t code, bool lock = false) const {
    if (lock && (windows() ? code == 33 || code == 10035 : code == EAGAIN || code == EACCES)) {
      return {FileErrorKind::contended, code};
    }
    if (windows() ? code == 2 || code == 3 : code == ENOENT)
      return {FileErrorKind::not_found, code};
    if (windows() ? code == 183 || code == 80 : code == EEXIST)
      return {FileErrorKind::exists, code};
    return {FileErrorKind::other, code};
  }
  [[nodiscard]] std::unexpected<FileError> failure(std::uint32_t code, bool lock = false) const {
    return std::unexpected(classify(code, lock));
  }
  [[nodiscard]] std::unexpected<FileError> refused() const {
    return std::unexpected(FileError{FileErrorKind::not_regular, windows() ? 1920u : EINVAL});
  }

  std::optional<FileError> record(std::string_view call, const std::string& path) {
    calls.push_back(path.empty() ? std::string(call) : std::string(call) + " " + path);
    if (auto fault = plan_->enter(call)) return classify(fault->error, call == "try_lock");
    return std::nullopt;
  }

  [[nodiscard]] bool in_folder(const std::string& path, const std::string& folder) const {
    return parent_path(path_syntax(), path) == folder;
  }
  [[nodiscard]] bool parent_is_folder(const std::string& path) const {
    const auto parent = parent_path(path_syntax(), path);
    return parent && folders.contains(*parent);
  }
  [[nodiscard]] std::optional<FileError> check_openable(const std::string& path) const {
    if (not_regular.contains(path)) return refused().error();
    if (folders.contains(path)) return classify(is_a_folder_code());
    if (!parent_is_folder(path)) return classify(not_found_code());
    return std::nullopt;
  }

  // An existing file, or a new empty one (whose name is durable at once: neither the lock file
  // nor the log matters to what a crash leaves).
  FileResult<StateFile> open_or_create(std::string_view call, const std::string& path) {
    if (auto error = record(call, path)) return std::unexpected(*error);
    if (auto error = check_openable(path)) return std::unexpected(*error);
    auto& inode = names_[path];
    if (!inode) {
      inode = std::make_shared<Inode>();
      durable_names_[path] = inode;
    }
    return open_handle(inode);
  }

  StateFile open_handle(std::shared_ptr<Inode> inode) {
    const std::uintptr_t handle = next_handle_++;
    handles_[handle] = std::move(inode);
    return StateFile(handle, {this});
  }

  FaultPlan own_plan_;
  FaultPlan* plan_;
  std::optional<StateStore> store_;
  std::map<std::string, std::shared_ptr<Inode>> names_;
  std::map<std::string, std::shared_ptr<Inode>> durable_names_;
  std::map<std::uintptr_t, std::shared_ptr<Inode>> handles_;
  std::optional<std::uintptr_t> lock_handle_;
  std::uintptr_t next_handle_ = 0x100;
};

}  // namespace vantrel::fakes
