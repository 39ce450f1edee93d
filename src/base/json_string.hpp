#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Appends text as a JSON string: \" \\ \b \t \n \f \r, other controls as \u00xx, everything
// else (solidus, U+007F, non-ASCII) as raw UTF-8. The one string writer of the answers and of
// the state files.
void append_json_string(std::string& out, std::string_view text);

}  // namespace vantrel
