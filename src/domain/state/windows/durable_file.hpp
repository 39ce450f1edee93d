#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "domain/state/windows/state_files.hpp"

namespace vantrel {

// Why a durable replacement failed: the OS error of the failing step, or a failure of the
// replacement's own ("path has no parent", "failed to write whole buffer").
struct DurableWriteError {
  std::optional<std::uint32_t> os_code;
  std::string text;

  // The OS error text ("... (os error N)") or the replacement's own text.
  [[nodiscard]] std::string message() const;

  bool operator==(const DurableWriteError&) const = default;
};

using DurableWriteStatus = std::expected<void, DurableWriteError>;

inline constexpr std::string_view PATH_HAS_NO_PARENT = "path has no parent";
inline constexpr std::string_view FAILED_TO_WRITE_WHOLE_BUFFER = "failed to write whole buffer";

// Creates the folder and every missing ancestor; an existing folder is fine, a file is not.
[[nodiscard]] OsStatus create_directory_tree(StateFileSystem& files, const std::u16string& path);

// Replaces the whole target through the sibling "." + name + "." + pid + ".tmp": written,
// flushed, then moved over the target while still open. Readers see the old file or the new
// one, never a mix; on failure the target is untouched and the first error is returned.
[[nodiscard]] DurableWriteStatus write_file_durably(StateFileSystem& files,
                                                    const std::u16string& target_path,
                                                    std::string_view bytes);

}  // namespace vantrel
