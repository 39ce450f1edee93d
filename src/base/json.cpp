#include "base/json.hpp"

#include <charconv>

namespace vantrel {

namespace {

template <class Int>
void append_integer(std::string& out, Int value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace

void append_compact_json(std::string& out, const JsonValue& value) {
  switch (value.type()) {
    case JsonValue::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, key);
        out.push_back(':');
        append_compact_json(out, member);
      }
      out.push_back('}');
      break;
    }
    case JsonValue::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        append_compact_json(out, element);
      }
      out.push_back(']');
      break;
    }
    case JsonValue::value_t::string:
      append_json_string(out, value.get_ref<const std::string&>());
      break;
    case JsonValue::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case JsonValue::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      break;
    case JsonValue::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      break;
    case JsonValue::value_t::number_float: {
      // Results never carry fractions; echo a payload's float faithfully all the same.
      out += value.dump();
      break;
    }
    default:
      out += "null";
  }
}

}  // namespace vantrel
