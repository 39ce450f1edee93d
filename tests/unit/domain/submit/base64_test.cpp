#include "domain/submit/base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "test_png.hpp"

namespace vantrel {
namespace {

std::string as_text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

using test_png::encode_base64;

TEST(Base64, DecodesKnownVectors) {
  EXPECT_EQ(as_text(*decode_base64_strict("")), "");
  EXPECT_EQ(as_text(*decode_base64_strict("Zg==")), "f");
  EXPECT_EQ(as_text(*decode_base64_strict("Zm8=")), "fo");
  EXPECT_EQ(as_text(*decode_base64_strict("Zm9v")), "foo");
  EXPECT_EQ(as_text(*decode_base64_strict("Zm9vYmFy")), "foobar");
  EXPECT_EQ(*decode_base64_strict("+/+/"), (std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}));
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length < 200; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const auto decoded = decode_base64_strict(encode_base64(bytes));
    ASSERT_TRUE(decoded.has_value()) << length;
    EXPECT_EQ(*decoded, bytes) << length;
  }
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(*decode_base64_strict(encode_base64(all)), all);
}

class Base64Refusal : public ::testing::TestWithParam<const char*> {};

TEST_P(Base64Refusal, GivesNothing) {
  EXPECT_FALSE(decode_base64_strict(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Base64Refusal,
    ::testing::Values("Zg", "Zm8", "Zg=", "Z", "Zm9vY", "Zm9v\n", "Zm9v\r\nYmFy", "Zm 9v", " Zm9v",
                      "Zm9v ", "Zm\t9", "-_-_", "Zm9-", "Zm9_", "Zm9vYm-y",
                      "Zh==", "Zm9=", "Zm+=", "=Zm9", "Z===", "====", "Zg==Zm9v", "Zm=v",
                      "Zm9v=", "Zm9v====", "Zm9\x80", "Zm9\xFF", "Zm9.", "Zm9*"));

TEST(Base64, RefusesEmbeddedNul) {
  EXPECT_FALSE(decode_base64_strict(std::string("Zm9v\0AAA", 8)).has_value());
}

TEST(Base64, FindsABadSymbolAnywhereInALongText) {
  const std::string good = encode_base64(std::vector<std::uint8_t>(3000, 0x5A));
  for (std::size_t pos :
       {std::size_t{0}, std::size_t{5}, std::size_t{2047}, good.size() - 5, good.size() - 1}) {
    std::string bad = good;
    bad[pos] = '_';
    EXPECT_FALSE(decode_base64_strict(bad).has_value()) << pos;
  }
}

}  // namespace
}  // namespace vantrel
