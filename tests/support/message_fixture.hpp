#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/state/host_state.hpp"
#include "domain/state/ledger.hpp"
#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_watchdogs.hpp"

namespace vantrel::fakes {

// The tests of one message's use case: the doubles it runs over, its state opened as the message
// loop opens it, and what reached the files. Every print-system call made while no watchdog is
// armed is counted.
class MessageFixture : public ::testing::Test {
 protected:
  MessageFixture() {
    printing.plan().hook = [this](std::string_view call) {
      if (watchdogs.armed_now != 1) ++print_calls_outside_watchdog;
      if (on_print_call) on_print_call(call);
    };
  }

  // The state for one message: lock taken, ledger loaded and recovered.
  HostState& open() {
    state_.reset();
    state_.emplace(open_host_state(files.store()).value());
    return *state_;
  }

  [[nodiscard]] std::size_t saves() const { return files.calls_of("rename_over").size(); }
  // The ledger as last saved; nullopt before the first save.
  [[nodiscard]] std::optional<HostLedger> on_disk() const {
    const auto bytes = files.file(files.path("ledger.json"));
    if (!bytes) return std::nullopt;
    return decode_ledger(*bytes).value();
  }
  [[nodiscard]] std::uint64_t now_ms() const { return files.now_ms; }
  void advance_clock_ms(std::uint64_t ms) { files.now_ms += ms; }

  // The message armed one watchdog with that label, disarmed it, and called the print system
  // only while it was armed.
  void expect_guarded_once(const std::string& label) const {
    EXPECT_EQ(watchdogs.labels, std::vector<std::string>{label});
    EXPECT_EQ(watchdogs.armed_now, 0);
    EXPECT_EQ(watchdogs.disarmed, 1);
    EXPECT_EQ(print_calls_outside_watchdog, 0);
  }

  FakeStateFiles files;
  FakePrintSystem printing;
  FakeWatchdogs watchdogs;
  // Runs at every print-system call, after it is counted.
  std::function<void(std::string_view call)> on_print_call;
  int print_calls_outside_watchdog = 0;
  std::optional<HostState> state_;
};

}  // namespace vantrel::fakes
