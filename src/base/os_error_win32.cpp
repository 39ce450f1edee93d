#include <windows.h>

#include "base/os_error.hpp"
#include "base/utf.hpp"

namespace vantrel {

std::expected<std::string, std::uint32_t> describe_os_error(std::uint32_t code) {
  WCHAR* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<WCHAR*>(&buffer), 0, nullptr);
  if (length == 0) {
    const DWORD lookup_error = GetLastError();
    if (buffer != nullptr) LocalFree(buffer);
    return std::unexpected(static_cast<std::uint32_t>(lookup_error));
  }
  std::string text =
      utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
  LocalFree(buffer);
  return text;
}

}  // namespace vantrel
