#include "domain/state/state_path.hpp"

#include <cstdint>

namespace vantrel {
namespace {

bool is_windows_separator(char c) {
  return c == '\\' || c == '/';
}

bool is_drive_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Length of the prefix that no component may be split off from, root separator included.
std::size_t windows_root_length(std::string_view path) {
  const auto skip_component = [&](std::size_t from) {
    while (from < path.size() && !is_windows_separator(path[from])) ++from;
    return from;
  };
  if (path.size() >= 2 && is_windows_separator(path[0]) && is_windows_separator(path[1])) {
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && is_windows_separator(path[3])) {
      // Device or verbatim prefix: the next component ("C:", "UNC\server\share" or a device)
      // belongs to the root.
      std::size_t end = skip_component(4);
      if (path.substr(4, end - 4) == "UNC") end = skip_component(skip_component(end + 1) + 1);
      return end < path.size() ? end + 1 : path.size();
    }
    const std::size_t end = skip_component(skip_component(2) + 1);  // \\server\share
    return end < path.size() ? end + 1 : path.size();
  }
  std::size_t length = 0;
  if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':') length = 2;
  if (length < path.size() && is_windows_separator(path[length])) ++length;
  return length;
}

std::optional<std::string> windows_parent(std::string_view path) {
  const std::size_t root = windows_root_length(path);
  std::size_t end = path.size();
  while (end > root && is_windows_separator(path[end - 1])) --end;
  if (end <= root) return std::nullopt;
  std::size_t start = end;
  while (start > root && !is_windows_separator(path[start - 1])) --start;
  std::size_t parent_end = start;
  while (parent_end > root && is_windows_separator(path[parent_end - 1])) --parent_end;
  return std::string(path.substr(0, parent_end));
}

std::optional<std::string> posix_parent(std::string_view path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const std::size_t slash = path.substr(0, end).find_last_of('/');
  if (end == 0 || path.substr(0, end) == "/") return std::nullopt;
  if (slash == std::string_view::npos) return std::string();
  std::size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  return parent_end == 0 ? std::string("/") : std::string(path.substr(0, parent_end));
}

// An absolute path from the environment, without trailing slashes.
std::optional<std::string> absolute(std::optional<std::string_view> value) {
  if (!value || !value->starts_with('/')) return std::nullopt;
  std::string path(*value);
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  return path;
}

}  // namespace

std::string join_path(PathSyntax syntax, std::string_view folder, std::string_view name) {
  std::string joined(folder);
  if (syntax == PathSyntax::windows) {
    const bool bare_drive = folder.size() == 2 && folder[1] == ':';
    if (!joined.empty() && !is_windows_separator(joined.back()) && !bare_drive) {
      joined.push_back('\\');
    }
  } else if (!joined.empty() && !joined.ends_with('/')) {
    joined.push_back('/');
  }
  joined.append(name);
  return joined;
}

std::optional<std::string> parent_path(PathSyntax syntax, std::string_view path) {
  return syntax == PathSyntax::windows ? windows_parent(path) : posix_parent(path);
}

std::optional<std::string> posix_state_folder(std::optional<std::string_view> xdg_state_home,
                                              std::optional<std::string_view> home) {
  if (const auto state_home = absolute(xdg_state_home)) {
    return join_path(PathSyntax::posix, *state_home, STATE_FOLDER_NAME);
  }
  const auto home_folder = absolute(home);
  if (!home_folder) return std::nullopt;
  return join_path(PathSyntax::posix, join_path(PathSyntax::posix, *home_folder, ".local/state"),
                   STATE_FOLDER_NAME);
}

}  // namespace vantrel
