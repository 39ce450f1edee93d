#pragma once

#include <utility>

namespace vantrel {

// Owns one handle of a system resource and releases it exactly once, on every path: the one
// owner type for files, printers, device contexts, threads, events and system buffers. Close
// is a callable taking the handle; it may carry state, such as the call table that releases
// the handle, so that fakes see every release. A Close with a static is_none(handle) names the
// values that are no handle (a failed call's null or INVALID_HANDLE_VALUE): those are never
// owned, so a call's result can be wrapped as it comes and tested with operator bool.
template <class Handle, class Close>
class Owned {
 public:
  Owned() = default;
  Owned(Handle handle, Close close) noexcept
      : handle_(std::move(handle)), close_(std::move(close)), owns_(!is_none(handle_)) {}
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
  static bool is_none(const Handle& handle) noexcept {
    if constexpr (requires { Close::is_none(handle); }) {
      return Close::is_none(handle);
    } else {
      return false;
    }
  }

  Handle handle_{};
  Close close_{};
  bool owns_ = false;
};

// The Close of a call table's handles: releases through the table's own member, named by the
// table as `static constexpr auto release = &Table::member;`, so that a fake table sees every
// release. The member is looked up only where a handle is released, so the handle type can be
// named before the table is complete, as the table's own calls need it.
template <class Table>
struct ReleaseThrough {
  Table* table = nullptr;

  template <class Handle>
  void operator()(const Handle& handle) const noexcept {
    (table->*Table::release)(handle);
  }
};

}  // namespace vantrel
