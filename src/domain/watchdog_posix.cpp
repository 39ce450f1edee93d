// Native stand-in of the watchdog: the same contract as the Windows one, for the native tests.
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "base/os_error.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {
namespace {

// The one-shot channel, shared by the handler's signal and the watchdog thread.
struct WatchdogState {
  std::mutex mutex;
  std::condition_variable completed_cv;
  bool completed = false;
  std::chrono::steady_clock::time_point deadline;
  // Built at arming so that the thread allocates nothing when it fires.
  std::string line;
};

class PosixWatchdogChannel final : public WatchdogChannel {
 public:
  explicit PosixWatchdogChannel(std::shared_ptr<WatchdogState> state) : state_(std::move(state)) {}
  ~PosixWatchdogChannel() override { complete(); }

  void complete() noexcept override {
    {
      std::lock_guard lock(state_->mutex);
      state_->completed = true;
    }
    state_->completed_cv.notify_one();
  }

 private:
  std::shared_ptr<WatchdogState> state_;
};

[[noreturn]] void fire(const std::string& line) noexcept {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) break;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  ::_exit(WATCHDOG_EXIT_STATUS);
}

void watch(std::shared_ptr<WatchdogState> state) noexcept {
  std::unique_lock lock(state->mutex);
  if (state->completed_cv.wait_until(lock, state->deadline, [&] { return state->completed; })) {
    return;
  }
  fire(state->line);
}

}  // namespace

// Native threads are detached and end by themselves; the native build never exits mid-call.
void let_disarmed_watchdogs_finish() noexcept {}

Result<WatchdogSignal> arm_watchdog(const char* label, std::chrono::milliseconds timeout) {
  try {
    auto state = std::make_shared<WatchdogState>();
    state->line = watchdog_timeout_line(label);
    auto channel = std::make_unique<PosixWatchdogChannel>(state);
    state->deadline = std::chrono::steady_clock::now() + timeout;
    std::thread(watch, std::move(state)).detach();
    return WatchdogSignal(std::move(channel));
  } catch (const std::system_error& error) {
    return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                os_error_message("Cannot start the print-system watchdog",
                                 static_cast<std::uint32_t>(error.code().value())));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                "Cannot start the print-system watchdog: out of memory.");
  }
}

}  // namespace vantrel
