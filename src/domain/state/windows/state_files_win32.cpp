#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <new>
#include <string_view>

#include "base/owned_win32.hpp"
#include "base/utf.hpp"
#include "domain/state/state_files.hpp"
#include "domain/state/windows/windows_clock.hpp"

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
// The would-block code of the error classification, which LockFileEx may also report.
constexpr DWORD WOULD_BLOCK = 10035;
// What a state file that is a link, a folder or no disk file is refused with.
constexpr DWORD NOT_A_REGULAR_FILE = ERROR_CANT_ACCESS_FILE;

// Paths arrive as WTF-8, so a profile path that is not valid UTF-16 comes back unchanged.
std::u16string native_path(const std::string& path) {
  return wtf8_to_utf16(path);
}

const WCHAR* wide(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

HANDLE native(const StateFile& file) {
  return reinterpret_cast<HANDLE>(file.get());
}

FileErrorKind kind_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return FileErrorKind::not_found;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return FileErrorKind::exists;
    default:
      return FileErrorKind::other;
  }
}

// The last step of a path, after its last separator.
std::u16string_view last_name(std::u16string_view path) {
  const std::size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

bool same_name_ignoring_ascii_case(std::u16string_view a, std::u16string_view b) {
  const auto folded = [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  return std::ranges::equal(a, b, {}, folded, folded);
}

// Whether the open file still has the name asked for. Wine, and file systems that show no
// reparse point, follow a link silently: the file it reached has its own name. When the name
// cannot be had, nothing is refused.
bool reached_the_name_asked(HANDLE handle, const std::u16string& asked) {
  const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
  if (needed == 0) return true;
  std::u16string reached(needed, u'\0');
  const DWORD length = GetFinalPathNameByHandleW(handle, reinterpret_cast<WCHAR*>(reached.data()),
                                                 needed, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= needed) return true;
  reached.resize(length);
  return same_name_ignoring_ascii_case(last_name(reached), last_name(asked));
}

std::unexpected<FileError> last_error() {
  const DWORD code = GetLastError();
  return std::unexpected(FileError{kind_of(code), code});
}

class WindowsStateFiles final : public StateFiles {
 public:
  PathSyntax path_syntax() const override { return PathSyntax::windows; }

  std::optional<std::string> locate_state_folder() override {
    PWSTR text = nullptr;
    const HRESULT result = SHGetKnownFolderPath(LOCAL_APP_DATA_FOLDER, 0, nullptr, &text);
    // The buffer comes from COM's allocator, also when the lookup fails.
    const Owned<void*, CoTaskMemFreeCall> owned(text);
    if (result != S_OK || text == nullptr) return std::nullopt;
    return join_path(PathSyntax::windows, utf16_to_wtf8(reinterpret_cast<const char16_t*>(text)),
                     STATE_FOLDER_NAME);
  }

  FileStatus make_folder(const std::string& path) override {
    if (!CreateDirectoryW(wide(native_path(path)), nullptr)) return last_error();
    return {};
  }

  bool is_folder(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(wide(native_path(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool is_real_folder(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(wide(native_path(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  }

  // The folder inherits the access of the user's own local application-data folder.
  FileStatus keep_private(const std::string&) override { return {}; }

  FileResult<StateFile> open_lock_file(const std::string& path) override {
    return open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  }

  FileStatus try_lock(const StateFile& file) override {
    OVERLAPPED from_start{};
    if (LockFileEx(native(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 0xFFFFFFFF,
                   0xFFFFFFFF, &from_start)) {
      return {};
    }
    const DWORD code = GetLastError();
    const bool held = code == ERROR_LOCK_VIOLATION || code == WOULD_BLOCK;
    return std::unexpected(FileError{held ? FileErrorKind::contended : FileErrorKind::other, code});
  }

  FileResult<std::string> read_file(const std::string& path) override {
    FileResult<StateFile> opened = open(path, GENERIC_READ, OPEN_EXISTING);
    if (!opened) return std::unexpected(opened.error());
    const StateFile& file = *opened;
    try {
      // The size is only a hint: one byte more lets the end show without growing the buffer.
      LARGE_INTEGER size{};
      std::size_t capacity = 4096;
      if (GetFileSizeEx(native(file), &size) && size.QuadPart > 0 && size.QuadPart < MAX_IO_CHUNK) {
        capacity = static_cast<std::size_t>(size.QuadPart) + 1;
      }
      std::string bytes(capacity, '\0');
      std::size_t length = 0;
      for (;;) {
        if (length == bytes.size()) bytes.resize(bytes.size() * 2);
        const DWORD want =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - length, MAX_IO_CHUNK));
        DWORD got = 0;
        if (!ReadFile(native(file), bytes.data() + length, want, &got, nullptr))
          return last_error();
        if (got == 0) break;
        length += got;
      }
      bytes.resize(length);
      return bytes;
    } catch (const std::bad_alloc&) {
      return std::unexpected(FileError{FileErrorKind::other, ERROR_NOT_ENOUGH_MEMORY});
    }
  }

  FileResult<StateFile> create_file(const std::string& path) override {
    return open(path, GENERIC_WRITE, CREATE_ALWAYS);
  }

  FileResult<std::size_t> write(const StateFile& file, std::string_view bytes) override {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAX_IO_CHUNK));
    DWORD written = 0;
    if (!WriteFile(native(file), bytes.data(), want, &written, nullptr)) return last_error();
    return written;
  }

  FileStatus flush(const StateFile& file) override {
    if (!FlushFileBuffers(native(file))) return last_error();
    return {};
  }

  FileStatus rename_over(const std::string& from, const std::string& to) override {
    if (!MoveFileExW(wide(native_path(from)), wide(native_path(to)),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return last_error();
    }
    return {};
  }

  // The move above is written through.
  FileStatus flush_folder(const std::string&) override { return {}; }

  FileStatus remove(const std::string& path) override {
    if (!DeleteFileW(wide(native_path(path)))) return last_error();
    return {};
  }

  FileResult<StateFile> open_for_append(const std::string& path) override {
    return open(path, FILE_APPEND_DATA, OPEN_ALWAYS);
  }

  FileResult<std::uint64_t> file_size(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide(native_path(path)), GetFileExInfoStandard, &data)) {
      return last_error();
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  // The append handle may only append: a second handle to the same file, never its path again,
  // sets the end.
  FileStatus cut_to(const StateFile& file, std::uint64_t size) override {
    const OwnedHandle writer(ReOpenFile(native(file), GENERIC_WRITE, SHARE_ALL, 0));
    if (!writer) return last_error();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof end)) {
      return last_error();
    }
    return {};
  }

  bool removes_failed_temporary() const override { return false; }

  std::uint32_t process_id() override { return GetCurrentProcessId(); }

  std::uint64_t now_unix_ms() override {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return unix_ms_from_file_time((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
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

  void close(std::uintptr_t handle) noexcept override {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
  }

 private:
  // A link or junction is opened as itself, never followed, and refused with anything else
  // that is not a file on a disk (a pipe, a device, a folder).
  FileResult<StateFile> open(const std::string& path, DWORD access, DWORD disposition) {
    const std::u16string asked = native_path(path);
    const HANDLE handle =
        CreateFileW(wide(asked), access, SHARE_ALL, nullptr, disposition,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    StateFile file(reinterpret_cast<std::uintptr_t>(handle), {this});
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        !reached_the_name_asked(handle, asked)) {
      return std::unexpected(FileError{FileErrorKind::not_regular, NOT_A_REGULAR_FILE});
    }
    return file;
  }
};

}  // namespace

StateFiles& system_state_files() {
  static WindowsStateFiles files;
  return files;
}

}  // namespace vantrel
