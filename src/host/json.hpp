#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vantrel {

// Generic JSON value. Its objects are std::map-backed, so keys are held in ascending byte order
// and a result object is always written sorted, at every depth.
using JsonValue = nlohmann::json;

// Appends text as a JSON string: \" \\ \b \t \n \f \r, other controls as \u00xx, everything
// else (solidus, U+007F, non-ASCII) as raw UTF-8.
void append_json_string(std::string& out, std::string_view text);

// Compact form of a value: no white space, keys in byte order, integers in plain decimal.
void append_compact_json(std::string& out, const JsonValue& value);

}  // namespace vantrel
