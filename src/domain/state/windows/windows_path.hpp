#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Windows path syntax for the state's own paths: "\" or "/" separate components, and a path may
// start with a drive ("C:"), a root ("\"), a UNC share ("\\server\share") or a device prefix
// ("\\?\", "\\.\").

// The folder joined with one more component, with a single backslash between them.
[[nodiscard]] std::u16string join_path(std::u16string_view folder, std::u16string_view name);

struct PathParts {
  std::u16string parent;     // "" for a bare relative name: the current folder
  std::u16string file_name;  // "" when the last component is ".." or "."
};

// Splits off the last component; std::nullopt when there is none (an empty path or a bare root
// such as "C:\").
[[nodiscard]] std::optional<PathParts> split_path(std::u16string_view path);

}  // namespace vantrel
