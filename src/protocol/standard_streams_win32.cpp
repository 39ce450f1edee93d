#include <windows.h>
// After windows.h, whose types it uses: CommandLineToArgvW.
#include <shellapi.h>

#include <algorithm>

#include "base/owned_win32.hpp"
#include "base/utf.hpp"
#include "protocol/standard_streams.hpp"

namespace vantrel {
namespace {

// The raw handles, not the C runtime's streams: those translate line ends in text mode and
// would corrupt frames.
class HandleSource final : public ByteSource {
 public:
  explicit HandleSource(HANDLE handle) : handle_(handle) {}

  std::expected<std::size_t, StreamFailure> read(std::span<std::uint8_t> buffer) override {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    if (!ReadFile(handle_, buffer.data(), want, &got, nullptr)) {
      const DWORD error = GetLastError();
      // A pipe whose writer has closed: Windows fails with ERROR_BROKEN_PIPE where Wine
      // returns 0 bytes. Both mean the browser closed the port.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
      return std::unexpected(StreamFailure{error});
    }
    return got;
  }

 private:
  HANDLE handle_;
};

class HandleSink final : public ByteSink {
 public:
  explicit HandleSink(HANDLE handle) : handle_(handle) {}

  std::expected<std::size_t, StreamFailure> write(std::span<const std::uint8_t> bytes) override {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(handle_, bytes.data(), want, &put, nullptr)) {
      return std::unexpected(StreamFailure{GetLastError()});
    }
    return put;
  }

  std::expected<void, StreamFailure> flush() override {
    // Writes go straight to the handle, so a pipe already holds the whole frame. Only a file
    // has buffers to flush (FlushFileBuffers on a pipe would wait for the reader).
    if (GetFileType(handle_) == FILE_TYPE_DISK && !FlushFileBuffers(handle_)) {
      return std::unexpected(StreamFailure{GetLastError()});
    }
    return {};
  }

 private:
  HANDLE handle_;
};

}  // namespace

StandardStreams take_standard_streams() {
  return StandardStreams{std::make_unique<HandleSource>(GetStdHandle(STD_INPUT_HANDLE)),
                         std::make_unique<HandleSink>(GetStdHandle(STD_OUTPUT_HANDLE))};
}

// The C runtime's argv is in the ANSI code page; the command line itself is UTF-16.
std::vector<std::string> process_arguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  const Owned<LPWSTR*, LocalFreeCall> owned(wide);
  for (int i = 1; i < count; ++i) {
    arguments.push_back(utf16_to_utf8(reinterpret_cast<const char16_t*>(wide[i])));
  }
  return arguments;
}

void write_standard_error(std::string_view line) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (!line.empty()) {
    DWORD put = 0;
    if (!WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &put, nullptr) ||
        put == 0) {
      return;
    }
    line.remove_prefix(put);
  }
}

}  // namespace vantrel
