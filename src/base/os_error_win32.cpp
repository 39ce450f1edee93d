#include <windows.h>

#include "base/os_error.hpp"
#include "base/owned_win32.hpp"
#include "base/utf.hpp"

namespace vantrel {

std::expected<std::string, std::uint32_t> describe_os_error(std::uint32_t code) {
  WCHAR* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<WCHAR*>(&buffer), 0, nullptr);
  const DWORD lookup_error = GetLastError();
  const Owned<void*, LocalFreeCall> owned(buffer);
  if (length == 0) return std::unexpected(static_cast<std::uint32_t>(lookup_error));
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
}

}  // namespace vantrel
