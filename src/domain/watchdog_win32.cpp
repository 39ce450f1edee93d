#include <windows.h>

#include <memory>
#include <new>
#include <vector>

#include "base/os_error.hpp"
#include "base/owned_win32.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {
namespace {

// The one-shot channel: an event that the handler's signal sets, shared between the signal and
// the watchdog thread; whichever lets go last frees it.
struct WatchdogState {
  OwnedHandle completed;
  ULONGLONG deadline_ms = 0;  // GetTickCount64 time
  WatchdogFiring firing;
};

class Win32WatchdogChannel final : public WatchdogChannel {
 public:
  explicit Win32WatchdogChannel(std::shared_ptr<WatchdogState> state) : state_(std::move(state)) {}
  ~Win32WatchdogChannel() override { complete(); }

  void complete() noexcept override { SetEvent(state_->completed.get()); }

 private:
  std::shared_ptr<WatchdogState> state_;
};

[[noreturn]] void fire(const WatchdogState& state) noexcept {
  const HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
  if (error_stream != nullptr && error_stream != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error_stream, state.firing.line.data(), static_cast<DWORD>(state.firing.line.size()),
              &written, nullptr);
  }
  state.firing.say_last_words();
  // Ends every thread at once, including one blocked inside the spooler; no destructors run.
  TerminateProcess(GetCurrentProcess(), WATCHDOG_EXIT_STATUS);
  ExitProcess(WATCHDOG_EXIT_STATUS);
}

DWORD WINAPI watch(LPVOID parameter) {
  // The thread's own reference to the state, handed over at its start.
  const std::unique_ptr<std::shared_ptr<WatchdogState>> reference(
      static_cast<std::shared_ptr<WatchdogState>*>(parameter));
  const WatchdogState& state = **reference;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG remaining = state.deadline_ms > now ? state.deadline_ms - now : 0;
    const DWORD wait = WaitForSingleObject(
        state.completed.get(),
        static_cast<DWORD>(remaining < INFINITE - 1 ? remaining : INFINITE - 1));
    if (wait == WAIT_OBJECT_0) break;
    // A wait may end a tick early; only a deadline that has really passed fires.
    if (wait == WAIT_TIMEOUT && GetTickCount64() >= state.deadline_ms) fire(state);
    if (wait == WAIT_FAILED) {
      Sleep(remaining > 50 ? 50 : static_cast<DWORD>(remaining));
      if (GetTickCount64() >= state.deadline_ms &&
          WaitForSingleObject(state.completed.get(), 0) != WAIT_OBJECT_0) {
        fire(state);
      }
    }
  }
  return 0;
}

HostError watchdog_start_error(DWORD error) {
  return HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                   os_error_message("Cannot start the print-system watchdog", error)};
}

}  // namespace

// The threads started so far, kept only so that the destructor can let the disarmed ones
// finish; a thread that has ended is forgotten at the next arming. Touched by one thread.
class ProcessWatchdogs::Threads {
 public:
  void forget_finished() {
    std::erase_if(handles_, [](const OwnedHandle& thread) {
      return WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
    });
  }
  void keep(OwnedHandle thread) { handles_.push_back(std::move(thread)); }
  void let_finish() noexcept {
    constexpr DWORD EXIT_GRACE_MS = 1000;
    const ULONGLONG give_up_at = GetTickCount64() + EXIT_GRACE_MS;
    for (const OwnedHandle& thread : handles_) {
      const ULONGLONG now = GetTickCount64();
      WaitForSingleObject(thread.get(),
                          now < give_up_at ? static_cast<DWORD>(give_up_at - now) : 0);
    }
  }

 private:
  std::vector<OwnedHandle> handles_;
};

ProcessWatchdogs::ProcessWatchdogs(std::chrono::milliseconds timeout, WatchdogLastWords last_words)
    : timeout_(timeout),
      last_words_(std::move(last_words)),
      threads_(std::make_unique<Threads>()) {}

ProcessWatchdogs::~ProcessWatchdogs() {
  threads_->let_finish();
}

Result<WatchdogSignal> ProcessWatchdogs::arm(const char* label) {
  try {
    auto state = std::make_shared<WatchdogState>();
    state->firing = firing(label);
    state->completed = OwnedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->completed) {
      const DWORD error = GetLastError();
      return std::unexpected(watchdog_start_error(error));
    }
    auto channel = std::make_unique<Win32WatchdogChannel>(state);
    const auto timeout_ms = timeout_.count() > 0 ? static_cast<ULONGLONG>(timeout_.count()) : 0;
    state->deadline_ms = GetTickCount64() + timeout_ms;
    auto reference = std::make_unique<std::shared_ptr<WatchdogState>>(std::move(state));
    const HANDLE thread = CreateThread(nullptr, 0, watch, reference.get(), 0, nullptr);
    if (thread == nullptr) {
      const DWORD error = GetLastError();
      return std::unexpected(watchdog_start_error(error));
    }
    reference.release();  // the thread owns it now
    OwnedHandle owned_thread(thread);
    threads_->forget_finished();
    threads_->keep(std::move(owned_thread));
    return WatchdogSignal(std::move(channel));
  } catch (const std::bad_alloc&) {
    return std::unexpected(watchdog_start_error(ERROR_NOT_ENOUGH_MEMORY));
  }
}

}  // namespace vantrel
