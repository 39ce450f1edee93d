#include "domain/state/windows/windows_state_store.hpp"

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "domain/state/windows/durable_file.hpp"
#include "domain/state/windows/windows_path.hpp"

namespace vantrel {
namespace {

StateFailure failure_of(const OsError& error) {
  return StateFailure{os_error_text(error.code)};
}

// Another holder: LockFileEx's own code, or the would-block code of the error classification.
bool is_lock_contention(const OsError& error) {
  return error.code == os_code::LOCK_VIOLATION || error.code == os_code::WOULD_BLOCK;
}

bool is_not_found(const OsError& error) {
  return error.code == os_code::FILE_NOT_FOUND || error.code == os_code::PATH_NOT_FOUND;
}

class WindowsLockFile final : public StateLockFile {
 public:
  WindowsLockFile(StateFileSystem& files, OwnedFile file) : files_(files), file_(std::move(file)) {}

  StateResult<bool> try_lock() override {
    const OsStatus locked = files_.lock_whole_file(file_);
    if (locked) return true;
    if (is_lock_contention(locked.error())) return false;
    return std::unexpected(failure_of(locked.error()));
  }

 private:
  StateFileSystem& files_;
  OwnedFile file_;
};

}  // namespace

std::expected<void, std::optional<StateFailure>> WindowsStateStore::make_folder() {
  const OsResult<std::u16string> app_data = files_.local_app_data_path();
  if (!app_data) return std::unexpected(std::nullopt);
  std::u16string folder = join_path(*app_data, STATE_FOLDER_NAME);
  if (const OsStatus made = create_directory_tree(files_, folder); !made) {
    return std::unexpected(failure_of(made.error()));
  }
  folder_ = std::move(folder);
  return {};
}

StateResult<std::unique_ptr<StateLockFile>> WindowsStateStore::open_lock_file() {
  OsResult<OwnedFile> file = files_.open_lock_file(path_of(LOCK_FILE_NAME));
  if (!file) return std::unexpected(failure_of(file.error()));
  return std::make_unique<WindowsLockFile>(files_, std::move(*file));
}

StateResult<std::optional<std::string>> WindowsStateStore::read_file(std::string_view name) {
  OsResult<std::string> bytes = files_.read_whole_file(path_of(name));
  if (!bytes) {
    if (is_not_found(bytes.error())) return std::nullopt;
    return std::unexpected(failure_of(bytes.error()));
  }
  return std::move(*bytes);
}

StateResult<void> WindowsStateStore::replace_file(std::string_view name, std::string_view bytes) {
  const DurableWriteStatus written = write_file_durably(files_, path_of(name), bytes);
  if (!written) return std::unexpected(StateFailure{written.error().message()});
  return {};
}

std::uint64_t WindowsStateStore::now_unix_ms() {
  return unix_ms_from_file_time(files_.system_time_ticks());
}

std::u16string WindowsStateStore::path_of(std::string_view name) const {
  return join_path(folder_, utf8_to_utf16(name));
}

}  // namespace vantrel
