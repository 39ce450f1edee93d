#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/error.hpp"

namespace vantrel {

inline constexpr std::chrono::seconds PLATFORM_CALL_TIMEOUT{12};
inline constexpr int WATCHDOG_EXIT_STATUS = 70;

// "vantrel-print-host: PLATFORM_TIMEOUT (<label>)\n"
[[nodiscard]] std::string watchdog_timeout_line(std::string_view label);

// The sending end of a watchdog's one-shot completion channel.
class WatchdogChannel {
 public:
  virtual ~WatchdogChannel() = default;
  // Tells the watchdog thread that the stretch is over. Non-blocking; called at most once.
  virtual void complete() noexcept = 0;
};

// Owned by the handler for the length of a guarded stretch. Disarming is one non-blocking step,
// and giving the signal up without disarming disarms too.
class WatchdogSignal {
 public:
  WatchdogSignal() = default;
  explicit WatchdogSignal(std::unique_ptr<WatchdogChannel> channel)
      : channel_(std::move(channel)) {}
  WatchdogSignal(WatchdogSignal&&) noexcept = default;
  WatchdogSignal& operator=(WatchdogSignal&& other) noexcept {
    if (this != &other) {
      disarm();
      channel_ = std::move(other.channel_);
    }
    return *this;
  }
  ~WatchdogSignal() { disarm(); }

  void disarm() noexcept {
    if (channel_) {
      channel_->complete();
      channel_.reset();
    }
  }

 private:
  std::unique_ptr<WatchdogChannel> channel_;
};

// Arms watchdogs. Handlers receive it so that tests can see every arm and disarm.
class Watchdogs {
 public:
  virtual ~Watchdogs() = default;
  // label must live as long as the process. Fails only when the thread cannot be started;
  // the guarded stretch must then not begin.
  [[nodiscard]] virtual Result<WatchdogSignal> arm(const char* label) = 0;
};

// Runs one guarded stretch: arms a watchdog with the label, runs the stretch, and disarms on
// every way out. When no watchdog can be armed the stretch never begins and the arming error is
// returned instead of its result.
template <class Stretch>
[[nodiscard]] Result<std::invoke_result_t<Stretch&>> run_guarded(Watchdogs& watchdogs,
                                                                 const char* label,
                                                                 Stretch&& stretch) {
  Result<WatchdogSignal> signal = watchdogs.arm(label);
  if (!signal) return std::unexpected(std::move(signal.error()));
  auto outcome = stretch();
  signal->disarm();
  return outcome;
}

// What a firing watchdog does after its line on standard error and before the process ends,
// given the stretch's label: it runs on the watchdog's thread and must bound its own time.
using WatchdogLastWords = std::function<void(const char* label)>;

// What a firing watchdog says, built at arming so that its thread allocates nothing when it
// fires: the timeout line for standard error, then the last words with the stretch's label.
struct WatchdogFiring {
  std::string line;
  const char* label = nullptr;
  const WatchdogLastWords* last_words = nullptr;  // the watchdogs', which outlive every thread

  void say_last_words() const {
    if (last_words != nullptr) (*last_words)(label);
  }
};

// The process's real watchdogs: a thread per stretch that ends the process with status 70 and
// the timeout line when the deadline passes first. It owns those threads: destroying it, at a
// clean end of the process after every stretch was disarmed, gives the ones still on their way
// out a bounded moment to finish, so that none is cut down inside a system call by the exit.
// Defined per platform.
class ProcessWatchdogs final : public Watchdogs {
 public:
  // The deadline of every stretch; tests pass a short one to watch a watchdog fire.
  explicit ProcessWatchdogs(
      std::chrono::milliseconds timeout =
          std::chrono::duration_cast<std::chrono::milliseconds>(PLATFORM_CALL_TIMEOUT),
      WatchdogLastWords last_words = {});
  ProcessWatchdogs(const ProcessWatchdogs&) = delete;
  ProcessWatchdogs& operator=(const ProcessWatchdogs&) = delete;
  ~ProcessWatchdogs() override;

  // label must live as long as the process.
  Result<WatchdogSignal> arm(const char* label) override;

 private:
  class Threads;
  [[nodiscard]] WatchdogFiring firing(const char* label) const;

  std::chrono::milliseconds timeout_;
  WatchdogLastWords last_words_;
  std::unique_ptr<Threads> threads_;
};

}  // namespace vantrel
