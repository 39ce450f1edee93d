#include <windows.h>

#include <algorithm>

#include "base/owned_win32.hpp"
#include "base/utf.hpp"
#include "doctor/doctor_system.hpp"

namespace vantrel {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));

struct RegCloseKeyCall {
  static bool is_none(HKEY key) noexcept { return key == nullptr; }
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using OwnedKey = Owned<HKEY, RegCloseKeyCall>;

// How often a wait for output looks at the pipe again: anonymous pipes have no timed read.
constexpr DWORD OUTPUT_POLL_INTERVAL_MS = 10;
// How long an ended program is given to go after TerminateProcess.
constexpr DWORD TERMINATE_WAIT_MS = 2000;

const WCHAR* wide(const std::u16string& text) {
  return reinterpret_cast<const WCHAR*>(text.c_str());
}

std::string narrow(const WCHAR* text, std::size_t length) {
  return utf16_to_wtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

FileError error_of(DWORD code) {
  const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  return FileError{missing ? FileErrorKind::not_found : FileErrorKind::other, code};
}

// One argument as CommandLineToArgvW and the C runtime read it back: quoted when it holds a
// space, a tab or a quote, with backslashes doubled only before a quote.
void append_argument(std::u16string& line, const std::u16string& argument) {
  if (!line.empty()) line += u' ';
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
    line += argument;
    return;
  }
  line += u'"';
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, u'\\');
  line += u'"';
}

class WindowsStartedProgram final : public StartedProgram {
 public:
  WindowsStartedProgram(OwnedHandle process, OwnedHandle input, OwnedHandle output)
      : process_(std::move(process)), input_(std::move(input)), output_(std::move(output)) {}

  ~WindowsStartedProgram() override {
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), TERMINATE_WAIT_MS);
    }
  }

  std::expected<void, std::uint32_t> send_and_close(std::string_view bytes) override {
    while (!bytes.empty()) {
      DWORD put = 0;
      if (!WriteFile(input_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr)) {
        const DWORD code = GetLastError();
        input_.reset();
        return std::unexpected(static_cast<std::uint32_t>(code));
      }
      bytes.remove_prefix(put);
    }
    input_.reset();
    return {};
  }

  ProgramRead read(std::span<char> buffer,
                   std::chrono::steady_clock::time_point deadline) override {
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_BROKEN_PIPE) return {ProgramRead::Kind::ended};
        return {ProgramRead::Kind::failed, 0, code};
      }
      if (available > 0) {
        DWORD got = 0;
        const DWORD want = std::min<DWORD>(available, static_cast<DWORD>(buffer.size()));
        if (!ReadFile(output_.get(), buffer.data(), want, &got, nullptr)) {
          const DWORD code = GetLastError();
          if (code == ERROR_BROKEN_PIPE) return {ProgramRead::Kind::ended};
          return {ProgramRead::Kind::failed, 0, code};
        }
        return {ProgramRead::Kind::data, got};
      }
      // Wine may keep reporting an empty pipe after its writer has gone: once the program has
      // ended and nothing is left, its output has ended too.
      if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) {
        if (PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr) &&
            available > 0) {
          continue;
        }
        return {ProgramRead::Kind::ended};
      }
      if (std::chrono::steady_clock::now() >= deadline) return {ProgramRead::Kind::timed_out};
      Sleep(OUTPUT_POLL_INTERVAL_MS);
    }
  }

  std::optional<std::uint32_t> exit_status(std::chrono::milliseconds limit) override {
    const auto wait = static_cast<DWORD>(std::clamp<std::int64_t>(limit.count(), 0, INFINITE - 1));
    if (WaitForSingleObject(process_.get(), wait) != WAIT_OBJECT_0) return std::nullopt;
    DWORD status = 0;
    if (!GetExitCodeProcess(process_.get(), &status)) return std::nullopt;
    return status;
  }

 private:
  OwnedHandle process_;
  OwnedHandle input_;
  OwnedHandle output_;
};

// A pipe whose one end the child inherits; the other end stays here only.
struct InheritedPipe {
  OwnedHandle ours;
  OwnedHandle childs;
};

std::expected<InheritedPipe, DWORD> inherited_pipe(bool child_reads) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return std::unexpected(GetLastError());
  OwnedHandle reading(read_end);
  OwnedHandle writing(write_end);
  InheritedPipe pipe = child_reads ? InheritedPipe{std::move(writing), std::move(reading)}
                                   : InheritedPipe{std::move(reading), std::move(writing)};
  if (!SetHandleInformation(pipe.ours.get(), HANDLE_FLAG_INHERIT, 0)) {
    return std::unexpected(GetLastError());
  }
  return pipe;
}

class WindowsDoctorSystem final : public DoctorSystem {
 public:
  BrowserPlatform platform() const override { return BrowserPlatform::windows; }

  std::optional<std::string> registry_default(const RegistryKey& key) override {
    const HKEY root =
        key.root == RegistryRoot::current_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    REGSAM access = KEY_QUERY_VALUE;
    if (key.view == RegistryView::wow64_32) access |= KEY_WOW64_32KEY;
    if (key.view == RegistryView::wow64_64) access |= KEY_WOW64_64KEY;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, wide(utf8_to_utf16(key.path)), 0, access, &opened) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    const OwnedKey owned(opened);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(opened, nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    // The value may grow between sizing and reading: sized again until it fits.
    std::u16string value;
    for (;;) {
      value.resize(size / sizeof(WCHAR) + 1);
      DWORD got = static_cast<DWORD>(value.size() * sizeof(WCHAR));
      const LSTATUS status = RegQueryValueExW(opened, nullptr, nullptr, &type,
                                              reinterpret_cast<BYTE*>(value.data()), &got);
      if (status == ERROR_SUCCESS) {
        value.resize(got / sizeof(WCHAR));
        break;
      }
      if (status != ERROR_MORE_DATA) return std::nullopt;
      size = got;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    while (!value.empty() && value.back() == u'\0') value.pop_back();
    if (type == REG_EXPAND_SZ) {
      const DWORD needed = ExpandEnvironmentStringsW(wide(value), nullptr, 0);
      if (needed == 0) return std::nullopt;
      std::u16string expanded(needed, u'\0');
      const DWORD written =
          ExpandEnvironmentStringsW(wide(value), reinterpret_cast<WCHAR*>(expanded.data()), needed);
      if (written == 0 || written > needed) return std::nullopt;
      expanded.resize(written - 1);
      value = std::move(expanded);
    }
    return utf16_to_wtf8(value);
  }

  std::optional<std::string> environment(std::string_view name) override {
    const std::u16string wide_name = utf8_to_utf16(name);
    const DWORD needed = GetEnvironmentVariableW(wide(wide_name), nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::u16string value(needed, u'\0');
    const DWORD length =
        GetEnvironmentVariableW(wide(wide_name), reinterpret_cast<WCHAR*>(value.data()), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    return narrow(reinterpret_cast<const WCHAR*>(value.data()), length);
  }

  FileResult<std::string> read_file(const std::string& path) override {
    return system_state_files().read_file(path);
  }

  // Who may write a file here is an access list, not permission bits: not judged.
  std::optional<FileAccess> file_access(const std::string&) override { return std::nullopt; }

  std::expected<std::unique_ptr<StartedProgram>, FileError> start_program(
      const std::string& program, const std::vector<std::string>& arguments) override {
    auto input = inherited_pipe(true);
    if (!input) return std::unexpected(error_of(input.error()));
    auto output = inherited_pipe(false);
    if (!output) return std::unexpected(error_of(output.error()));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    OwnedHandle discard(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!discard) return std::unexpected(error_of(GetLastError()));

    const std::u16string application = wtf8_to_utf16(program);
    std::u16string command_line;
    append_argument(command_line, application);
    for (const std::string& argument : arguments)
      append_argument(command_line, utf8_to_utf16(argument));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input->childs.get();
    startup.hStdOutput = output->childs.get();
    startup.hStdError = discard.get();
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(wide(application), reinterpret_cast<WCHAR*>(command_line.data()), nullptr,
                        nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
      return std::unexpected(error_of(GetLastError()));
    }
    OwnedHandle process(started.hProcess);
    const OwnedHandle thread(started.hThread);
    // The child holds its own copies: its output ends when it (and what it started) closes them.
    input->childs.reset();
    output->childs.reset();
    return std::make_unique<WindowsStartedProgram>(std::move(process), std::move(input->ours),
                                                   std::move(output->ours));
  }
};

}  // namespace

DoctorSystem& system_doctor_system() {
  static WindowsDoctorSystem system;
  return system;
}

}  // namespace vantrel
