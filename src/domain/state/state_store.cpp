#include "domain/state/state_store.hpp"

#include <algorithm>

#include "base/os_error.hpp"

namespace vantrel {
namespace {

// The file's path names what is wrong when something other than a regular file is there.
StateFailure failure_of(const FileError& error, std::string_view path = {}) {
  if (error.kind == FileErrorKind::not_regular && !path.empty()) {
    return StateFailure{std::string(path) + " is a link, a folder or a special file, not a file"};
  }
  return StateFailure{os_error_text(error.os_code)};
}

}  // namespace

StateResult<bool> StateLockFile::try_lock() {
  const FileStatus locked = files_->try_lock(file_);
  if (locked) return true;
  if (locked.error().kind == FileErrorKind::contended) return false;
  return std::unexpected(failure_of(locked.error()));
}

std::expected<void, std::optional<StateFailure>> StateStore::make_folder() {
  std::optional<std::string> folder = files_.locate_state_folder();
  if (!folder) return std::unexpected(std::nullopt);
  if (const FileStatus made = make_folder_tree(*folder); !made) {
    return std::unexpected(failure_of(made.error()));
  }
  if (const FileStatus kept = files_.keep_private(*folder); !kept) {
    if (kept.error().kind == FileErrorKind::foreign) {
      return std::unexpected(StateFailure{*folder + " belongs to another user"});
    }
    return std::unexpected(failure_of(kept.error()));
  }
  folder_ = std::move(*folder);
  return {};
}

StateResult<StateLockFile> StateStore::open_lock_file() {
  const std::string path = path_of(LOCK_FILE_NAME);
  FileResult<StateFile> file = files_.open_lock_file(path);
  if (!file) return std::unexpected(failure_of(file.error(), path));
  return StateLockFile(files_, std::move(*file));
}

StateResult<std::optional<std::string>> StateStore::read_file(std::string_view name) {
  const std::string path = path_of(name);
  FileResult<std::string> bytes = files_.read_file(path);
  if (!bytes) {
    // Missing means new.
    if (bytes.error().kind == FileErrorKind::not_found) return std::nullopt;
    return std::unexpected(failure_of(bytes.error(), path));
  }
  return std::move(*bytes);
}

StateResult<void> StateStore::replace_file(std::string_view name, std::string_view bytes) {
  const std::string target = path_of(name);
  // The folder may have gone since the message began; it is made again as it was made then.
  if (const FileStatus made = make_folder_tree(folder_); !made) {
    return std::unexpected(failure_of(made.error()));
  }
  std::string temporary_name = ".";
  temporary_name.append(name).append(".");
  temporary_name.append(std::to_string(files_.process_id())).append(".tmp");
  const std::string temporary = path_of(temporary_name);

  // Only this process writes under its pid: a leftover there is its own, from a failure or from
  // a crashed process of the same pid.
  FileResult<StateFile> file = files_.create_file(temporary);
  if (!file && file.error().kind == FileErrorKind::exists) {
    (void)files_.remove(temporary);
    file = files_.create_file(temporary);
  }
  if (!file) return std::unexpected(failure_of(file.error(), temporary));

  const auto moved = [&]() -> StateResult<void> {
    const FileResult<bool> written = write_all(files_, *file, bytes);
    if (!written) return std::unexpected(failure_of(written.error()));
    if (!*written) return std::unexpected(StateFailure{std::string(FAILED_TO_WRITE_WHOLE_BUFFER)});
    if (const FileStatus flushed = files_.flush(*file); !flushed) {
      return std::unexpected(failure_of(flushed.error()));
    }
    if (const FileStatus renamed = files_.rename_over(temporary, target); !renamed) {
      return std::unexpected(failure_of(renamed.error()));
    }
    return {};
  }();
  file->reset();  // closed once in place, and after a failed step
  if (!moved) {
    if (files_.removes_failed_temporary()) (void)files_.remove(temporary);
    return moved;
  }
  // The new name survives a crash only once the folder is flushed.
  if (const FileStatus flushed = files_.flush_folder(folder_); !flushed) {
    return std::unexpected(failure_of(flushed.error()));
  }
  return {};
}

std::string StateStore::path_of(std::string_view name) const {
  return join_path(files_.path_syntax(), folder_, name);
}

FileStatus StateStore::make_folder_tree(const std::string& path) {
  if (path.empty()) return {};  // the current folder
  FileStatus made = files_.make_folder(path);
  if (made) return {};
  if (made.error().kind != FileErrorKind::not_found) {
    // "exists" also stands for a file at the path; access refused may answer for a folder that
    // exists above the user's own (a drive root, a read-only parent).
    if (files_.is_folder(path)) return {};
    return made;
  }
  const std::optional<std::string> parent = parent_path(files_.path_syntax(), path);
  if (!parent) return made;  // a missing root
  if (FileStatus up = make_folder_tree(*parent); !up) return up;
  made = files_.make_folder(path);
  if (made || files_.is_folder(path)) return {};  // another process may have made it meanwhile
  return made;
}

}  // namespace vantrel
