#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <new>

#include "base/owned_win32.hpp"
#include "domain/state/windows/state_files.hpp"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace vantrel {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));

// FOLDERID_LocalAppData, spelled out so that no GUID library has to be linked.
constexpr KNOWNFOLDERID LOCAL_APP_DATA_FOLDER = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD MAX_IO_CHUNK = 1u << 30;

const WCHAR* wide(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

HANDLE native(const OwnedFile& file) {
  return reinterpret_cast<HANDLE>(file.get());
}

std::unexpected<OsError> last_error() {
  return std::unexpected(OsError{GetLastError()});
}

class Win32StateFiles final : public StateFileSystem {
 public:
  OsResult<std::u16string> local_app_data_path() override {
    PWSTR text = nullptr;
    const HRESULT result = SHGetKnownFolderPath(LOCAL_APP_DATA_FOLDER, 0, nullptr, &text);
    // The buffer comes from COM's allocator, also when the lookup fails.
    const Owned<void*, CoTaskMemFreeCall> owned(text);
    if (result != S_OK || text == nullptr) {
      return std::unexpected(OsError{static_cast<std::uint32_t>(result)});
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text));
  }

  OsStatus create_directory(const std::u16string& path) override {
    if (!CreateDirectoryW(wide(path), nullptr)) return last_error();
    return {};
  }

  bool is_directory(const std::u16string& path) override {
    const DWORD attributes = GetFileAttributesW(wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  OsResult<OwnedFile> open_lock_file(const std::u16string& path) override {
    return open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  }

  OsStatus lock_whole_file(const OwnedFile& file) override {
    OVERLAPPED from_start{};
    if (!LockFileEx(native(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    0xFFFFFFFF, 0xFFFFFFFF, &from_start)) {
      return last_error();
    }
    return {};
  }

  OsResult<std::string> read_whole_file(const std::u16string& path) override {
    const OwnedHandle file(CreateFileW(wide(path), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_error();
    try {
      // The size is only a hint: one byte more lets the end show without growing the buffer.
      LARGE_INTEGER size{};
      std::size_t capacity = 4096;
      if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < MAX_IO_CHUNK) {
        capacity = static_cast<std::size_t>(size.QuadPart) + 1;
      }
      std::string bytes(capacity, '\0');
      std::size_t length = 0;
      for (;;) {
        if (length == bytes.size()) bytes.resize(bytes.size() * 2);
        const DWORD want =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - length, MAX_IO_CHUNK));
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + length, want, &got, nullptr)) return last_error();
        if (got == 0) break;
        length += got;
      }
      bytes.resize(length);
      return bytes;
    } catch (const std::bad_alloc&) {
      return std::unexpected(OsError{ERROR_NOT_ENOUGH_MEMORY});
    }
  }

  OsResult<OwnedFile> create_file_for_writing(const std::u16string& path) override {
    return open(path, GENERIC_WRITE, CREATE_ALWAYS);
  }

  OsResult<std::size_t> write_file(const OwnedFile& file, std::string_view bytes) override {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAX_IO_CHUNK));
    DWORD written = 0;
    if (!WriteFile(native(file), bytes.data(), want, &written, nullptr)) return last_error();
    return written;
  }

  OsStatus flush_file(const OwnedFile& file) override {
    if (!FlushFileBuffers(native(file))) return last_error();
    return {};
  }

  OsStatus replace_file(const std::u16string& from, const std::u16string& to) override {
    if (!MoveFileExW(wide(from), wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return last_error();
    }
    return {};
  }

  std::uint32_t current_process_id() override { return GetCurrentProcessId(); }

  std::uint64_t system_time_ticks() override {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  }

  std::chrono::nanoseconds monotonic_now() override {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    // Split so that counter * 10^9 cannot overflow.
    const std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
    const std::int64_t remainder = counter.QuadPart % frequency.QuadPart;
    return std::chrono::nanoseconds(seconds * 1'000'000'000 +
                                    remainder * 1'000'000'000 / frequency.QuadPart);
  }

  void pause(std::chrono::nanoseconds duration) override {
    if (duration.count() <= 0) return;
    const OwnedHandle timer(CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    if (timer) {
      LARGE_INTEGER due{};
      due.QuadPart = -pause_in_100ns_units(duration);  // negative: relative to now
      if (SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE) &&
          WaitForSingleObject(timer.get(), INFINITE) == WAIT_OBJECT_0) {
        return;
      }
    }
    Sleep(pause_in_whole_ms(duration));
  }

 private:
  OsResult<OwnedFile> open(const std::u16string& path, DWORD access, DWORD disposition) {
    const HANDLE handle = CreateFileW(wide(path), access, SHARE_ALL, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    return OwnedFile(reinterpret_cast<std::uintptr_t>(handle), CloseStateFile{this});
  }

  void close_file(std::uintptr_t handle) noexcept override {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }
};

}  // namespace

StateFileSystem& windows_state_files() {
  static Win32StateFiles files;
  return files;
}

}  // namespace vantrel
