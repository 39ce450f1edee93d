#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "domain/state/posix/posix_files.hpp"
#include "fault_plan.hpp"

namespace vantrel::testing {

// The real POSIX calls on the real file system, with an environment of the test's own and the
// faults a real file system does not produce on demand: any call fails with any errno through
// the fault plan, writes take at most write_limit bytes. Records each call's name and keeps the
// descriptors it opened until they are closed through it.
class FaultyPosixFiles final : public PosixFiles {
 public:
  explicit FaultyPosixFiles(FaultPlan* shared_plan = nullptr)
      : plan_(shared_plan != nullptr ? shared_plan : &own_plan_) {}
  FaultyPosixFiles(const FaultyPosixFiles&) = delete;
  FaultyPosixFiles& operator=(const FaultyPosixFiles&) = delete;

  std::map<std::string, std::string, std::less<>> environment;
  std::size_t write_limit = SIZE_MAX;
  std::vector<std::string> calls;

  // The `occurrence`-th call of `call` (a method name of the table) from now fails with `code`.
  void fail(std::string_view call, int code, int occurrence = 1) {
    plan_->fail(call, static_cast<std::uint32_t>(code), occurrence);
  }
  [[nodiscard]] std::size_t open_descriptor_count() const { return real_owners_.size(); }

  std::optional<std::string> environment_variable(std::string_view name) override {
    const auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }
  PosixStatus create_directory(const std::string& path) override {
    return faulty("create_directory", [&] { return real().create_directory(path); });
  }
  bool is_directory(const std::string& path) override { return real().is_directory(path); }
  PosixResult<OwnedDescriptor> open_lock_file(const std::string& path) override {
    return faulty("open_lock_file", [&] { return adopt(real().open_lock_file(path)); });
  }
  PosixStatus lock_whole_file(const OwnedDescriptor& file) override {
    return faulty("lock_whole_file", [&] { return real().lock_whole_file(file); });
  }
  PosixResult<OwnedDescriptor> open_for_reading(const std::string& path) override {
    return faulty("open_for_reading", [&] { return adopt(real().open_for_reading(path)); });
  }
  PosixResult<std::size_t> read_file(const OwnedDescriptor& file, std::span<char> buffer) override {
    return faulty("read_file", [&] { return real().read_file(file, buffer); });
  }
  PosixResult<OwnedDescriptor> open_directory(const std::string& path) override {
    return faulty("open_directory", [&] { return adopt(real().open_directory(path)); });
  }
  PosixResult<OwnedDescriptor> create_new_file(const std::string& path) override {
    return faulty("create_new_file", [&] { return adopt(real().create_new_file(path)); });
  }
  PosixResult<std::size_t> write_file(const OwnedDescriptor& file,
                                      std::string_view bytes) override {
    return faulty("write_file", [&]() -> PosixResult<std::size_t> {
      if (write_limit == 0) return 0;
      return real().write_file(file, bytes.substr(0, std::min(bytes.size(), write_limit)));
    });
  }
  PosixStatus flush_file(const OwnedDescriptor& file) override {
    return faulty("flush_file", [&] { return real().flush_file(file); });
  }
  PosixStatus rename_file(const std::string& from, const std::string& to) override {
    return faulty("rename_file", [&] { return real().rename_file(from, to); });
  }
  PosixStatus remove_file(const std::string& path) override {
    return faulty("remove_file", [&] { return real().remove_file(path); });
  }
  std::uint32_t current_process_id() override { return real().current_process_id(); }
  std::chrono::nanoseconds realtime_now() override { return real().realtime_now(); }
  std::chrono::nanoseconds monotonic_now() override { return real().monotonic_now(); }
  void pause(std::chrono::nanoseconds duration) override { real().pause(duration); }
  void close_file(int descriptor) noexcept override { real_owners_.erase(descriptor); }

 private:
  static PosixFiles& real() { return posix_files(); }

  // The call recorded, then failed as planned or made for real.
  template <class Call>
  auto faulty(std::string_view name, Call call) -> decltype(call()) {
    calls.emplace_back(name);
    if (auto fault = plan_->enter(name)) {
      return std::unexpected(PosixError{static_cast<int>(fault->error)});
    }
    return call();
  }

  // The real owner stays here until the test's owner closes through this table.
  PosixResult<OwnedDescriptor> adopt(PosixResult<OwnedDescriptor> opened) {
    if (!opened) return opened;
    const int descriptor = opened->get();
    real_owners_.insert_or_assign(descriptor, std::move(*opened));
    return OwnedDescriptor(descriptor, ClosePosixFile{this});
  }

  FaultPlan own_plan_;
  FaultPlan* plan_;
  std::map<int, OwnedDescriptor> real_owners_;
};

}  // namespace vantrel::testing
