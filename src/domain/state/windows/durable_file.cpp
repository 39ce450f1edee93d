#include "domain/state/windows/durable_file.hpp"

#include <algorithm>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "domain/state/windows/windows_path.hpp"

namespace vantrel {
namespace {

std::unexpected<DurableWriteError> os_failure(OsError error) {
  return std::unexpected(DurableWriteError{error.code, {}});
}

std::unexpected<DurableWriteError> own_failure(std::string_view text) {
  return std::unexpected(DurableWriteError{std::nullopt, std::string(text)});
}

bool is_not_found(const OsError& error) {
  return error.code == os_code::FILE_NOT_FOUND || error.code == os_code::PATH_NOT_FOUND;
}

std::u16string decimal_u16(std::uint32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::string DurableWriteError::message() const {
  return os_code ? os_error_text(*os_code) : text;
}

OsStatus create_directory_tree(StateFileSystem& files, const std::u16string& path) {
  if (path.empty()) return {};  // the current folder
  OsStatus made = files.create_directory(path);
  if (made) return {};
  if (!is_not_found(made.error())) {
    // ALREADY_EXISTS also stands for a file at the path; access denied for a drive root.
    if (files.is_directory(path)) return {};
    return made;
  }
  const auto parts = split_path(path);
  if (!parts) return made;  // a missing root
  if (OsStatus up = create_directory_tree(files, parts->parent); !up) return up;
  made = files.create_directory(path);
  if (made || files.is_directory(path)) return {};  // another process may have made it meanwhile
  return made;
}

DurableWriteStatus write_file_durably(StateFileSystem& files, const std::u16string& target_path,
                                      std::string_view bytes) {
  const auto parts = split_path(target_path);
  if (!parts) return own_failure(PATH_HAS_NO_PARENT);
  if (OsStatus made = create_directory_tree(files, parts->parent); !made) {
    return os_failure(made.error());
  }

  // A lone surrogate in the name becomes U+FFFD, as converting the name to text does.
  const std::u16string name = utf8_to_utf16(utf16_to_utf8(parts->file_name));
  const std::u16string temp_path = join_path(
      parts->parent, u"." + name + u"." + decimal_u16(files.current_process_id()) + u".tmp");

  OsResult<OwnedFile> temp = files.create_file_for_writing(temp_path);
  if (!temp) return os_failure(temp.error());

  std::string_view rest = bytes;
  while (!rest.empty()) {
    const OsResult<std::size_t> written = files.write_file(*temp, rest);
    if (!written) return os_failure(written.error());
    if (*written == 0) return own_failure(FAILED_TO_WRITE_WHOLE_BUFFER);
    rest.remove_prefix(std::min(*written, rest.size()));
  }
  if (OsStatus flushed = files.flush_file(*temp); !flushed) return os_failure(flushed.error());
  // Moved while still open (it shares delete access); the handle is closed once it is in place.
  if (OsStatus moved = files.replace_file(temp_path, target_path); !moved) {
    return os_failure(moved.error());
  }
  temp->reset();
  return {};
}

}  // namespace vantrel
