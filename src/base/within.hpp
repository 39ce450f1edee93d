#pragma once

#include <chrono>
#include <exception>
#include <expected>
#include <future>
#include <thread>
#include <type_traits>
#include <utility>

namespace vantrel {

// Why a bounded call gave no value: no thread could be had (the work never ran), or the work
// still runs at the limit (it is left to finish, or hang, on its own).
enum class Overrun { no_thread, still_running };

// Runs the work on a thread of its own and waits for it until the limit; an exception of the
// work reaches the caller when the work has a value. What the work uses must outlive the
// process's use of it when it overruns: the thread is never joined.
template <class Work>
[[nodiscard]] std::expected<std::invoke_result_t<Work&>, Overrun> run_within(
    std::chrono::milliseconds limit, Work work) {
  using T = std::invoke_result_t<Work&>;
  std::future<T> result;
  try {
    std::packaged_task<T()> task(std::move(work));
    result = task.get_future();
    std::thread(std::move(task)).detach();
  } catch (const std::exception&) {
    return std::unexpected(Overrun::no_thread);
  }
  if (result.wait_for(limit) != std::future_status::ready) {
    return std::unexpected(Overrun::still_running);
  }
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return result.get();
  }
}

}  // namespace vantrel
