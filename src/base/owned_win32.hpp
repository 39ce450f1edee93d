#pragma once

// Owners of the Windows handles and system buffers that the *_win32.cpp files hold.
#include <windows.h>
// After windows.h: CoTaskMemFree.
#include <objbase.h>

#include "base/owned.hpp"

namespace vantrel {

// Calls report failure as null or INVALID_HANDLE_VALUE, depending on the call.
struct CloseHandleCall {
  static bool is_none(HANDLE handle) noexcept {
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
  }
  void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using OwnedHandle = Owned<HANDLE, CloseHandleCall>;

// Buffers the system allocated for us: FormatMessageW's, and COM's (SHGetKnownFolderPath).
struct LocalFreeCall {
  static bool is_none(void* buffer) noexcept { return buffer == nullptr; }
  void operator()(void* buffer) const noexcept { LocalFree(buffer); }
};
struct CoTaskMemFreeCall {
  static bool is_none(void* buffer) noexcept { return buffer == nullptr; }
  void operator()(void* buffer) const noexcept { CoTaskMemFree(buffer); }
};

}  // namespace vantrel
