#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

// Work on separate items that only the processor bounds (decoding labels): a few threads share
// it instead of one doing it all.
inline unsigned parallel_workers() noexcept {
  return std::clamp(std::thread::hardware_concurrency(), 1U, 4U);
}

// Runs work(i) for each i below `count`, on up to `workers` threads, this one included; the work
// of one index must touch nothing another's does. Without another thread to be had, this one
// does it all. The first exception of any work reaches the caller once every thread is done.
template <class Work>
void for_each_index(std::size_t count, const Work& work, unsigned workers = parallel_workers()) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_guard;
  const auto drain = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      try {
        work(i);
      } catch (...) {
        const std::lock_guard lock(failure_guard);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min<std::size_t>(workers, count);
  for (std::size_t n = 1; n < wanted; ++n) {
    try {
      helpers.emplace_back(drain);
    } catch (const std::exception&) {  // no thread, or no room to keep one
      break;
    }
  }
  drain();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vantrel
