#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The items in order with the separator between them.
[[nodiscard]] inline std::string joined(const std::vector<std::string>& items,
                                        std::string_view separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

}  // namespace vantrel
