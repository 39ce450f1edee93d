#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "base/json_string.hpp"

namespace vantrel {

// Generic JSON value. Its objects are std::map-backed, so keys are held in ascending byte order
// and a result object is always written sorted, at every depth.
using JsonValue = nlohmann::json;

// Compact form of a value: no white space, keys in byte order, integers in plain decimal.
void append_compact_json(std::string& out, const JsonValue& value);

}  // namespace vantrel
