#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// The state's own paths, as UTF-8 text in either system's syntax. Windows: "\" or "/" separate
// components, and a path may start with a drive ("C:"), a root ("\"), a UNC share
// ("\\server\share") or a device prefix ("\\?\", "\\.\"). POSIX: "/" separates them.
enum class PathSyntax : std::uint8_t { windows, posix };

inline constexpr std::string_view STATE_FOLDER_NAME = "com.vantrel.print";

// The folder joined with one more component, with one separator between them.
[[nodiscard]] std::string join_path(PathSyntax syntax, std::string_view folder,
                                    std::string_view name);

// The folder that holds the path's last component: "" for a bare relative name (the current
// folder), nullopt when there is no component to take off (an empty path or a bare root).
[[nodiscard]] std::optional<std::string> parent_path(PathSyntax syntax, std::string_view path);

// The Linux state folder: "$XDG_STATE_HOME/com.vantrel.print", else
// "$HOME/.local/state/com.vantrel.print"; only absolute values count (a relative one would
// follow the working folder); nullopt when neither is usable.
[[nodiscard]] std::optional<std::string> posix_state_folder(
    std::optional<std::string_view> xdg_state_home, std::optional<std::string_view> home);

}  // namespace vantrel
