#include <windows.h>

#include <new>
#include <vector>

#include "base/os_error.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {
namespace {

// The one-shot channel: an event that the handler's signal sets, shared by reference count
// between the signal and the watchdog thread so that whichever lets go last frees it.
struct WatchdogState {
  LONG references = 2;
  HANDLE completed = nullptr;
  ULONGLONG deadline_ms = 0;  // GetTickCount64 time
  // Built at arming so that the thread allocates nothing when it fires.
  std::string line;
};

void release(WatchdogState* state) noexcept {
  if (InterlockedDecrement(&state->references) == 0) {
    CloseHandle(state->completed);
    delete state;
  }
}

class Win32WatchdogChannel final : public WatchdogChannel {
 public:
  explicit Win32WatchdogChannel(WatchdogState* state) : state_(state) {}
  Win32WatchdogChannel(const Win32WatchdogChannel&) = delete;
  Win32WatchdogChannel& operator=(const Win32WatchdogChannel&) = delete;
  ~Win32WatchdogChannel() override {
    complete();
    release(state_);
  }

  void complete() noexcept override { SetEvent(state_->completed); }

 private:
  WatchdogState* state_;
};

[[noreturn]] void fire(const WatchdogState& state) noexcept {
  const HANDLE error_stream = GetStdHandle(STD_ERROR_HANDLE);
  if (error_stream != nullptr && error_stream != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error_stream, state.line.data(), static_cast<DWORD>(state.line.size()), &written,
              nullptr);
  }
  // Ends every thread at once, including one blocked inside the spooler; no destructors run.
  TerminateProcess(GetCurrentProcess(), WATCHDOG_EXIT_STATUS);
  ExitProcess(WATCHDOG_EXIT_STATUS);
}

DWORD WINAPI watch(LPVOID parameter) {
  auto* state = static_cast<WatchdogState*>(parameter);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG remaining = state->deadline_ms > now ? state->deadline_ms - now : 0;
    const DWORD wait = WaitForSingleObject(
        state->completed, static_cast<DWORD>(remaining < INFINITE - 1 ? remaining : INFINITE - 1));
    if (wait == WAIT_OBJECT_0) break;
    // A wait may end a tick early; only a deadline that has really passed fires.
    if (wait == WAIT_TIMEOUT && GetTickCount64() >= state->deadline_ms) fire(*state);
    if (wait == WAIT_FAILED) {
      Sleep(remaining > 50 ? 50 : static_cast<DWORD>(remaining));
      if (GetTickCount64() >= state->deadline_ms &&
          WaitForSingleObject(state->completed, 0) != WAIT_OBJECT_0) {
        fire(*state);
      }
    }
  }
  release(state);
  return 0;
}

// Handles of the threads started by this process, kept only so that the clean exit can let the
// disarmed ones finish; a thread that has ended is forgotten at the next arming. Touched by the
// main thread alone.
std::vector<HANDLE>& watchdog_threads() {
  static std::vector<HANDLE> threads;
  return threads;
}

void forget_finished_threads() {
  auto& threads = watchdog_threads();
  std::erase_if(threads, [](HANDLE thread) {
    if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(thread);
    return true;
  });
}

HostError watchdog_start_error(DWORD error) {
  return HostError{ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                   os_error_message("Cannot start the print-system watchdog", error)};
}

}  // namespace

Result<WatchdogSignal> arm_watchdog(const char* label, std::chrono::milliseconds timeout) {
  WatchdogState* state = new (std::nothrow) WatchdogState;
  if (state == nullptr) return std::unexpected(watchdog_start_error(ERROR_NOT_ENOUGH_MEMORY));
  try {
    state->line = watchdog_timeout_line(label);
  } catch (const std::bad_alloc&) {
    delete state;
    return std::unexpected(watchdog_start_error(ERROR_NOT_ENOUGH_MEMORY));
  }
  state->completed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state->completed == nullptr) {
    const DWORD error = GetLastError();
    delete state;
    return std::unexpected(watchdog_start_error(error));
  }
  // The channel owns one reference from here on; the thread takes the other once it exists.
  std::unique_ptr<WatchdogChannel> channel(new (std::nothrow) Win32WatchdogChannel(state));
  if (channel == nullptr) {
    CloseHandle(state->completed);
    delete state;
    return std::unexpected(watchdog_start_error(ERROR_NOT_ENOUGH_MEMORY));
  }
  const auto timeout_ms = timeout.count() > 0 ? static_cast<ULONGLONG>(timeout.count()) : 0;
  state->deadline_ms = GetTickCount64() + timeout_ms;
  const HANDLE thread = CreateThread(nullptr, 0, watch, state, 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    InterlockedDecrement(&state->references);  // the thread's reference, never taken
    return std::unexpected(watchdog_start_error(error));
  }
  // Nobody waits for the thread while the process serves messages; its handle is kept only for
  // let_disarmed_watchdogs_finish.
  forget_finished_threads();
  try {
    watchdog_threads().push_back(thread);
  } catch (const std::bad_alloc&) {
    CloseHandle(thread);
  }
  return WatchdogSignal(std::move(channel));
}

void let_disarmed_watchdogs_finish() noexcept {
  constexpr DWORD EXIT_GRACE_MS = 1000;
  const ULONGLONG give_up_at = GetTickCount64() + EXIT_GRACE_MS;
  for (HANDLE thread : watchdog_threads()) {
    const ULONGLONG now = GetTickCount64();
    WaitForSingleObject(thread, now < give_up_at ? static_cast<DWORD>(give_up_at - now) : 0);
  }
}

}  // namespace vantrel
