#include "domain/state/state_folder.hpp"

#include <algorithm>

#include "base/os_error.hpp"
#include "domain/state/durable_file.hpp"
#include "domain/state/windows_path.hpp"

namespace vantrel {
namespace {

// Another holder: LockFileEx's own code, or the would-block code of the error classification.
bool is_lock_contention(const OsError& error) {
  return error.code == os_code::LOCK_VIOLATION || error.code == os_code::WOULD_BLOCK;
}

}  // namespace

Result<std::u16string> locate_state_folder(StateFileSystem& files) {
  const OsResult<std::u16string> app_data = files.local_app_data_path();
  if (!app_data) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                "Cannot locate the current user's application-data directory.");
  }
  std::u16string folder = join_path(*app_data, STATE_FOLDER_NAME);
  if (const OsStatus made = create_directory_tree(files, folder); !made) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                os_error_message("Cannot create print-helper state: ", made.error().code));
  }
  return folder;
}

Result<StateLock> acquire_state_lock(StateFileSystem& files, const std::u16string& folder) {
  OsResult<OwnedFile> file = files.open_lock_file(join_path(folder, LOCK_FILE_NAME));
  if (!file) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                os_error_message("Cannot open print-helper lock: ", file.error().code));
  }
  const std::chrono::nanoseconds start = files.monotonic_now();
  for (;;) {
    const OsStatus locked = files.lock_whole_file(*file);
    if (locked) return StateLock(std::move(*file));
    if (!is_lock_contention(locked.error())) {
      return fail(ErrorCode::STATE_UNAVAILABLE,
                  os_error_message("Cannot lock print-helper state: ", locked.error().code));
    }
    const std::chrono::nanoseconds elapsed =
        std::max(files.monotonic_now() - start, std::chrono::nanoseconds::zero());
    if (elapsed >= LOCK_WAIT_LIMIT) {
      return fail(ErrorCode::BRIDGE_BUSY,
                  "Another print-helper request is still finishing. Check status again shortly.");
    }
    files.pause(std::min(LOCK_WAIT_LIMIT - elapsed, LOCK_RETRY_SLICE));
  }
}

}  // namespace vantrel
