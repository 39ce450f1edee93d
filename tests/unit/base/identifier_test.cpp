#include "base/identifier.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(Identifier, AcceptsOnlyTheAllowedBytesAndLengths) {
  EXPECT_TRUE(is_valid_identifier("aZ09-.:_", 128));
  EXPECT_TRUE(is_valid_identifier(std::string(128, 'a'), 128));
  EXPECT_FALSE(is_valid_identifier(std::string(129, 'a'), 128));
  EXPECT_FALSE(is_valid_identifier("", 128));
  EXPECT_FALSE(is_valid_identifier("a b", 128));
  EXPECT_FALSE(is_valid_identifier("a/b", 128));
  EXPECT_FALSE(is_valid_identifier("\xC3\xA9", 128));
}

}  // namespace
}  // namespace vantrel
