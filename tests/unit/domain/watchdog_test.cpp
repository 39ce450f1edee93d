#include "domain/watchdog.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

struct ChildOutcome {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string standard_error;
  std::chrono::steady_clock::duration elapsed{};
};

// Runs body in a forked child whose standard error is captured; the child exits with 0 when
// body returns.
ChildOutcome run_in_child(const std::function<void()>& body) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) ADD_FAILURE() << "pipe failed";
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipe_ends[1], STDERR_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    body();
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  ChildOutcome outcome;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) {
    outcome.standard_error.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.elapsed = std::chrono::steady_clock::now() - started;
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  return outcome;
}

std::size_t thread_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST(Watchdog, TimeoutIsTwelveSecondsForEveryLabel) {
  EXPECT_EQ(PLATFORM_CALL_TIMEOUT, 12s);
  EXPECT_EQ(watchdog_timeout_line("submit"), "vantrel-print-host: PLATFORM_TIMEOUT (submit)\n");
}

TEST(Watchdog, StretchThatNeverEndsWritesTheLineAndExitsWith70) {
  const ChildOutcome outcome = run_in_child([] {
    ProcessWatchdogs watchdogs(300ms);
    auto signal = watchdogs.arm("list_printers");
    if (!signal) ::_exit(3);
    for (;;) ::pause();  // a spooler call that never returns
  });
  EXPECT_EQ(outcome.exit_status, 70);
  EXPECT_EQ(outcome.standard_error, "vantrel-print-host: PLATFORM_TIMEOUT (list_printers)\n");
  // The deadline is the behaviour; the upper bound only has to catch a watchdog that never fires.
  EXPECT_GE(outcome.elapsed, 300ms);
  EXPECT_LT(outcome.elapsed, 10s);
}

TEST(Watchdog, FiresWhileTheMainThreadIsStillBusy) {
  // The stretch is disarmed too late: the watchdog has already ended the process.
  const ChildOutcome outcome = run_in_child([] {
    ProcessWatchdogs watchdogs(100ms);
    auto signal = watchdogs.arm("submit");
    if (!signal) ::_exit(3);
    std::this_thread::sleep_for(5s);
    signal->disarm();
  });
  EXPECT_EQ(outcome.exit_status, 70);
  EXPECT_EQ(outcome.standard_error, "vantrel-print-host: PLATFORM_TIMEOUT (submit)\n");
}

struct DisarmCase {
  const char* name;
  std::function<void(WatchdogSignal&)> end_stretch;
};

class WatchdogDisarm : public ::testing::TestWithParam<DisarmCase> {};

TEST_P(WatchdogDisarm, StretchEndingInTimeLeavesStandardErrorEmpty) {
  const ChildOutcome outcome = run_in_child([this] {
    ProcessWatchdogs watchdogs(400ms);
    auto signal = watchdogs.arm("observe_job");
    if (!signal) ::_exit(3);
    std::this_thread::sleep_for(50ms);
    GetParam().end_stretch(*signal);
    // Well past the deadline with the signal still in scope: only ending the stretch disarmed.
    std::this_thread::sleep_for(800ms);
  });
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.standard_error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WatchdogDisarm,
    ::testing::Values(
        DisarmCase{"Disarm", [](WatchdogSignal& s) { s.disarm(); }},
        DisarmCase{"SignalGivenUp", [](WatchdogSignal& s) { WatchdogSignal{std::move(s)}; }},
        DisarmCase{"SignalReplaced", [](WatchdogSignal& s) { s = WatchdogSignal{}; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Watchdog, ManyStretchesLeaveNoThreadBehind) {
  const std::size_t before = thread_count();
  {
    ProcessWatchdogs watchdogs;
    for (int i = 0; i < 200; ++i) {
      auto signal = watchdogs.arm("list_printers");
      ASSERT_TRUE(signal.has_value()) << signal.error().message;
    }
  }
  // The watchdogs own their threads: once they are gone, so is every thread.
  EXPECT_EQ(thread_count(), before);
}

}  // namespace
}  // namespace vantrel
