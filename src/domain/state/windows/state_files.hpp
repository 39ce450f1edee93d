#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "base/owned.hpp"

namespace vantrel {

// A failed Windows call of the state: its last-error code (an HRESULT for the known-folder
// lookup).
struct OsError {
  std::uint32_t code = 0;

  bool operator==(const OsError&) const = default;
};

template <class T>
using OsResult = std::expected<T, OsError>;
using OsStatus = std::expected<void, OsError>;

// The Windows error codes whose meaning the state's rules depend on.
namespace os_code {
inline constexpr std::uint32_t FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ACCESS_DENIED = 5;
inline constexpr std::uint32_t LOCK_VIOLATION = 33;
inline constexpr std::uint32_t ALREADY_EXISTS = 183;
inline constexpr std::uint32_t WOULD_BLOCK = 10035;
}  // namespace os_code

class StateFileSystem;

// CloseHandle through the call table, so that a fake sees every release.
struct CloseStateFile {
  StateFileSystem* files = nullptr;
  void operator()(std::uintptr_t handle) const noexcept;
};

// One open file handle of the state folder. Closing it releases any lock taken on it.
using OwnedFile = Owned<std::uintptr_t, CloseStateFile>;

// Exactly the Windows calls that the durable state makes. Paths are Windows paths in UTF-16.
// Implementations translate calls and results; every rule lives in the callers.
class StateFileSystem {
 public:
  virtual ~StateFileSystem() = default;

  // SHGetKnownFolderPath(FOLDERID_LocalAppData), its buffer freed on every path.
  [[nodiscard]] virtual OsResult<std::u16string> local_app_data_path() = 0;
  // CreateDirectoryW of one folder; ALREADY_EXISTS for a folder or a file at the path.
  [[nodiscard]] virtual OsStatus create_directory(const std::u16string& path) = 0;
  // Whether the path names an existing folder (its attributes).
  [[nodiscard]] virtual bool is_directory(const std::u16string& path) = 0;
  // CreateFileW read/write, OPEN_ALWAYS, sharing read, write and delete.
  [[nodiscard]] virtual OsResult<OwnedFile> open_lock_file(const std::u16string& path) = 0;
  // LockFileEx exclusive and fail-immediately over the whole 64-bit range from offset 0.
  [[nodiscard]] virtual OsStatus lock_whole_file(const OwnedFile& file) = 0;
  // Opens for reading only (sharing read, write and delete) and reads to the end.
  [[nodiscard]] virtual OsResult<std::string> read_whole_file(const std::u16string& path) = 0;
  // CreateFileW for writing, CREATE_ALWAYS (creates or truncates), sharing read, write, delete.
  [[nodiscard]] virtual OsResult<OwnedFile> create_file_for_writing(const std::u16string& path) = 0;
  // One WriteFile call: how many bytes it took, possibly fewer than offered, possibly 0.
  [[nodiscard]] virtual OsResult<std::size_t> write_file(const OwnedFile& file,
                                                         std::string_view bytes) = 0;
  [[nodiscard]] virtual OsStatus flush_file(const OwnedFile& file) = 0;
  // MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
  [[nodiscard]] virtual OsStatus replace_file(const std::u16string& from,
                                              const std::u16string& to) = 0;
  [[nodiscard]] virtual std::uint32_t current_process_id() = 0;
  // GetSystemTimePreciseAsFileTime: 100-ns ticks since 1601-01-01 UTC.
  [[nodiscard]] virtual std::uint64_t system_time_ticks() = 0;
  // A clock that never goes back, from an arbitrary origin.
  [[nodiscard]] virtual std::chrono::nanoseconds monotonic_now() = 0;
  // Sleeps for the duration: a high-resolution waitable timer, else Sleep in whole ms.
  virtual void pause(std::chrono::nanoseconds duration) = 0;
  // CloseHandle; reached through OwnedFile.
  virtual void close_file(std::uintptr_t handle) noexcept = 0;
};

inline void CloseStateFile::operator()(std::uintptr_t handle) const noexcept {
  files->close_file(handle);
}

// A waitable timer's relative due time counts 100-ns units; round up so a pause never ends early.
[[nodiscard]] constexpr std::int64_t pause_in_100ns_units(std::chrono::nanoseconds duration) {
  return duration.count() <= 0 ? 0 : (duration.count() + 99) / 100;
}

// Sleep counts whole milliseconds; round up for the same reason.
[[nodiscard]] constexpr std::uint32_t pause_in_whole_ms(std::chrono::nanoseconds duration) {
  return duration.count() <= 0
             ? 0
             : static_cast<std::uint32_t>((duration.count() + 999'999) / 1'000'000);
}

// The process's Windows implementation (state_files_win32.cpp).
[[nodiscard]] StateFileSystem& windows_state_files();

}  // namespace vantrel
