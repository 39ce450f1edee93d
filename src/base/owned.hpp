#pragma once

#include <utility>

namespace vantrel {

// Owns one handle of a system resource and releases it exactly once, on every path: the one
// owner type for files, printers, device contexts, threads, events and system buffers. Close
// is a callable taking the handle; it may carry state, such as the call table that releases
// the handle, so that fakes see every release.
template <class Handle, class Close>
class Owned {
 public:
  Owned() = default;
  Owned(Handle handle, Close close) noexcept
      : handle_(std::move(handle)), close_(std::move(close)), owns_(true) {}
  explicit Owned(Handle handle) noexcept : Owned(std::move(handle), Close{}) {}
  Owned(Owned&& other) noexcept
      : handle_(std::move(other.handle_)),
        close_(std::move(other.close_)),
        owns_(std::exchange(other.owns_, false)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::move(other.handle_);
      close_ = std::move(other.close_);
      owns_ = std::exchange(other.owns_, false);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  [[nodiscard]] const Handle& get() const noexcept { return handle_; }
  [[nodiscard]] explicit operator bool() const noexcept { return owns_; }

  // Releases the handle now; afterwards the owner holds nothing.
  void reset() noexcept {
    if (std::exchange(owns_, false)) close_(handle_);
  }

 private:
  Handle handle_{};
  Close close_{};
  bool owns_ = false;
};

}  // namespace vantrel
