#include <gtest/gtest.h>

#include "base/error.hpp"
#include "base/json.hpp"
#include "base/os_error.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

TEST(Utf, UnpairedSurrogatesBecomeReplacementCharacter) {
  EXPECT_EQ(utf16_to_utf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf16_to_utf8(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16_to_utf8(std::u16string(u"x\xD83D")), "x\xEF\xBF\xBD");
  EXPECT_EQ(utf16_to_utf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(Utf, RoundTripsEveryPlane) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
}

TEST(Utf, RejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8("plain \xC2\xA0 text"));
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

TEST(OsErrorText, TrimsDescriptionAndAppendsCode) {
  EXPECT_EQ(compose_os_error_text(33, std::string("Lock violation.\r\n")),
            "Lock violation. (os error 33)");
  EXPECT_EQ(compose_os_error_text(10035, std::unexpected(317u)),
            "OS Error 10035 (FormatMessageW() returned error 317) (os error 10035)");
}

TEST(OsErrorText, MessageJoinsFixedTextWithOneColon) {
  const std::string os = os_error_text(5);
  EXPECT_EQ(os_error_message("Windows rejected the print job", 5),
            "Windows rejected the print job: " + os);
  EXPECT_EQ(os_error_message("Cannot create print-helper state: ", 5),
            "Cannot create print-helper state: " + os);
}

TEST(Identifier, AcceptsOnlyTheAllowedBytesAndLengths) {
  EXPECT_TRUE(is_valid_identifier("aZ09-.:_", 128));
  EXPECT_TRUE(is_valid_identifier(std::string(128, 'a'), 128));
  EXPECT_FALSE(is_valid_identifier(std::string(129, 'a'), 128));
  EXPECT_FALSE(is_valid_identifier("", 128));
  EXPECT_FALSE(is_valid_identifier("a b", 128));
  EXPECT_FALSE(is_valid_identifier("a/b", 128));
  EXPECT_FALSE(is_valid_identifier("\xC3\xA9", 128));
}

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
