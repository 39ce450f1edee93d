#pragma once

// Owners of the Windows handles and system buffers that the *_win32.cpp files hold.
#include <windows.h>
// After windows.h: CoTaskMemFree.
#include <objbase.h>

#include "base/owned.hpp"

namespace vantrel {

struct CloseHandleCall {
  void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using OwnedHandle = Owned<HANDLE, CloseHandleCall>;

// A handle from a call that reports failure as null or INVALID_HANDLE_VALUE: owned only when
// it is a handle.
[[nodiscard]] inline OwnedHandle own_handle(HANDLE handle) noexcept {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return OwnedHandle();
  return OwnedHandle(handle);
}

// Buffers the system allocated for us: FormatMessageW's, and COM's (SHGetKnownFolderPath).
struct LocalFreeCall {
  void operator()(void* buffer) const noexcept { LocalFree(buffer); }
};
struct CoTaskMemFreeCall {
  void operator()(void* buffer) const noexcept { CoTaskMemFree(buffer); }
};

}  // namespace vantrel
