#include "base/utf.hpp"

#include <gtest/gtest.h>

#include <vector>

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

// Paths of the system keep lone surrogates, so that a Windows folder name that is not valid
// UTF-16 is found again.
TEST(Utf, WtfEightRoundTripsLoneSurrogatesAndEqualsUtfEightOtherwise) {
  for (const std::u16string& path : std::vector<std::u16string>{
           u"C:\\x\xD800y", u"\xDC00", u"x\xD83D", std::u16string(u"\xD83D\xDE00") + u"A"}) {
    EXPECT_EQ(wtf8_to_utf16(utf16_to_wtf8(path)), path);
  }
  EXPECT_EQ(utf16_to_wtf8(u"\xD83D\xDE00"), utf16_to_utf8(u"\xD83D\xDE00"));
  EXPECT_EQ(wtf8_to_utf16("a\xFF"), u"a\xFFFD");
}

TEST(Utf, RejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8("plain \xC2\xA0 text"));
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace vantrel
