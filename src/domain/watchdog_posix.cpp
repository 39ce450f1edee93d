// The watchdog on POSIX systems: the same contract as the Windows one.
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

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
  WatchdogFiring firing;
  bool finished = false;  // the thread is on its way out
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

[[noreturn]] void fire(const WatchdogState& state) noexcept {
  const char* data = state.firing.line.data();
  std::size_t left = state.firing.line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) break;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  state.firing.say_last_words();
  ::_exit(WATCHDOG_EXIT_STATUS);
}

void watch(std::shared_ptr<WatchdogState> state) noexcept {
  std::unique_lock lock(state->mutex);
  if (state->completed_cv.wait_until(lock, state->deadline, [&] { return state->completed; })) {
    state->finished = true;
    return;
  }
  fire(*state);
}

bool has_finished(WatchdogState& state) {
  std::lock_guard lock(state.mutex);
  return state.finished;
}

}  // namespace

// The threads started so far with their states; joined once they are on their way out, and all
// of them when the watchdogs go.
class ProcessWatchdogs::Threads {
 public:
  struct Started {
    std::thread thread;
    std::shared_ptr<WatchdogState> state;
  };
  ~Threads() {
    for (Started& started : started_) started.thread.join();
  }
  void forget_finished() {
    std::erase_if(started_, [](Started& started) {
      if (!has_finished(*started.state)) return false;
      started.thread.join();
      return true;
    });
  }
  void keep(Started started) { started_.push_back(std::move(started)); }

 private:
  std::vector<Started> started_;
};

ProcessWatchdogs::ProcessWatchdogs(std::chrono::milliseconds timeout, WatchdogLastWords last_words)
    : timeout_(timeout),
      last_words_(std::move(last_words)),
      threads_(std::make_unique<Threads>()) {}

ProcessWatchdogs::~ProcessWatchdogs() = default;

Result<WatchdogSignal> ProcessWatchdogs::arm(const char* label) {
  try {
    auto state = std::make_shared<WatchdogState>();
    state->firing = firing(label);
    auto channel = std::make_unique<PosixWatchdogChannel>(state);
    state->deadline = std::chrono::steady_clock::now() + timeout_;
    threads_->forget_finished();
    std::thread thread(watch, state);
    threads_->keep({std::move(thread), std::move(state)});
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
