#include "base/json.hpp"

#include <gtest/gtest.h>

#include "base/json_string.hpp"

namespace vantrel {
namespace {

TEST(JsonWriting, EscapesOnlyWhatTheProtocolEscapes) {
  std::string out;
  append_json_string(out, std::string("q\"b\\/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9", 15));
  EXPECT_EQ(out, std::string("\"q\\\"b\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\"", 34));
}

TEST(JsonWriting, CompactWithKeysInByteOrderAtEveryDepth) {
  JsonValue value = JsonValue::object();
  value["b"] = JsonValue::array({1, "x", nullptr, true});
  value["B"] = JsonValue{{"z", 1}, {"a", -2}};
  std::string out;
  append_compact_json(out, value);
  EXPECT_EQ(out, R"({"B":{"a":-2,"z":1},"b":[1,"x",null,true]})");
}

}  // namespace
}  // namespace vantrel
