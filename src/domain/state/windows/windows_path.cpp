#include "domain/state/windows/windows_path.hpp"

namespace vantrel {
namespace {

bool is_separator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool is_drive_letter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Length of the prefix that no component may be split off from, root separator included.
std::size_t root_length(std::u16string_view path) {
  const auto skip_component = [&](std::size_t from) {
    while (from < path.size() && !is_separator(path[from])) ++from;
    return from;
  };
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    if (path.size() >= 4 && (path[2] == u'?' || path[2] == u'.') && is_separator(path[3])) {
      // Device or verbatim prefix: the next component ("C:", "UNC\server\share" or a device)
      // belongs to the root.
      std::size_t end = skip_component(4);
      if (path.substr(4, end - 4) == u"UNC") end = skip_component(skip_component(end + 1) + 1);
      return end < path.size() ? end + 1 : path.size();
    }
    const std::size_t end = skip_component(skip_component(2) + 1);  // \\server\share
    return end < path.size() ? end + 1 : path.size();
  }
  std::size_t length = 0;
  if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == u':') length = 2;
  if (length < path.size() && is_separator(path[length])) ++length;
  return length;
}

}  // namespace

std::u16string join_path(std::u16string_view folder, std::u16string_view name) {
  std::u16string joined(folder);
  const bool bare_drive = folder.size() == 2 && folder[1] == u':';
  if (!joined.empty() && !is_separator(joined.back()) && !bare_drive) joined.push_back(u'\\');
  joined.append(name);
  return joined;
}

std::optional<PathParts> split_path(std::u16string_view path) {
  const std::size_t root = root_length(path);
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;
  if (end <= root) return std::nullopt;

  std::size_t start = end;
  while (start > root && !is_separator(path[start - 1])) --start;
  PathParts parts;
  const std::u16string_view name = path.substr(start, end - start);
  if (name != u".." && name != u".") parts.file_name = name;

  std::size_t parent_end = start;
  while (parent_end > root && is_separator(path[parent_end - 1])) --parent_end;
  parts.parent = path.substr(0, parent_end);
  return parts;
}

}  // namespace vantrel
