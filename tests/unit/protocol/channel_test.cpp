#include "protocol/channel.hpp"

#include <gtest/gtest.h>

#include "base/os_error.hpp"
#include "fake_streams.hpp"

namespace vantrel {
namespace {

using fakes::frame;
using fakes::MemorySink;
using fakes::MemorySource;

std::string as_string(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(ReadNativeMessage, AssemblesPrefixAndBodyDeliveredOneByteAtATime) {
  MemorySource input(frame("{\"a\":1}") + frame("x"), 1);
  auto first = read_native_message(input);
  ASSERT_TRUE(first && first->has_value());
  EXPECT_EQ(as_string(**first), "{\"a\":1}");
  auto second = read_native_message(input);
  ASSERT_TRUE(second && second->has_value());
  EXPECT_EQ(as_string(**second), "x");
  auto end = read_native_message(input);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->has_value());
}

TEST(ReadNativeMessage, AcceptsTheLargestBody) {
  const std::string body(MAX_MESSAGE_LEN, 'b');
  MemorySource input(frame(body));
  auto got = read_native_message(input);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ((*got)->size(), MAX_MESSAGE_LEN);
}

struct FramingFailure {
  const char* name;
  std::string input;
  std::string message;
};

class ReadNativeMessageFailure : public ::testing::TestWithParam<FramingFailure> {};

TEST_P(ReadNativeMessageFailure, ReportsItsReason) {
  MemorySource input(GetParam().input);
  auto got = read_native_message(input);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().code, ErrorCode::IO_ERROR);
  EXPECT_EQ(got.error().message, "Cannot read native message: " + GetParam().message);
  // No body byte is requested for a length outside the range.
  if (GetParam().message.starts_with("native")) {
    EXPECT_LE(input.largest_request, 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Framing, ReadNativeMessageFailure,
    ::testing::Values(FramingFailure{"TwoPrefixBytes", std::string("\x05\x00", 2),
                                     "truncated native message length"},
                      FramingFailure{"LengthZero", std::string(4, '\0'),
                                     "native message length is outside the allowed range"},
                      FramingFailure{"LengthAboveLimit", std::string("\x01\x00\x80\x00", 4),
                                     "native message length is outside the allowed range"},
                      FramingFailure{"LengthAllOnes", std::string("\xff\xff\xff\xff", 4),
                                     "native message length is outside the allowed range"},
                      FramingFailure{"BodyCutShort", frame("{\"abc\":1}").substr(0, 8),
                                     "failed to fill whole buffer"}),
    [](const auto& info) { return info.param.name; });

TEST(ReadNativeMessage, ReadErrorCarriesTheOsErrorText) {
  MemorySource input(frame("hello"));
  input.fail_at = 2;
  input.fail_code = 6;
  auto got = read_native_message(input);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, "Cannot read native message: " + os_error_text(6));
}

TEST(WriteNativeMessage, FramesBodiesWhoseLengthHoldsALineFeedByte) {
  for (std::size_t n : {std::size_t{10}, std::size_t{266}}) {
    MemorySink sink;
    const std::string body(n, 'z');
    ASSERT_TRUE(write_native_message(
        sink, {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}));
    EXPECT_EQ(sink.bytes, frame(body));
    EXPECT_EQ(sink.flushes, 1u);
  }
}

TEST(WriteNativeMessage, WritesTwoMebibytesWholeThroughPartialWrites) {
  MemorySink sink;
  sink.chunk = 65'536 + 3;
  const std::string body(2 * 1024 * 1024, 'q');
  ASSERT_TRUE(write_native_message(
      sink, {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}));
  EXPECT_EQ(sink.bytes.size(), body.size() + 4);
  EXPECT_EQ(sink.bodies().at(0), body);
  EXPECT_EQ(sink.flushes, 1u);
}

TEST(WriteNativeMessage, WriteFailureCarriesTheOsErrorText) {
  MemorySink sink;
  sink.fail_after = 4;
  const std::uint8_t body[] = {'{', '}'};
  auto written = write_native_message(sink, body);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code, ErrorCode::IO_ERROR);
  EXPECT_EQ(written.error().message, "Cannot write native response: " + os_error_text(232));
}

}  // namespace
}  // namespace vantrel

namespace vantrel {
namespace {

TEST(WriteNativeMessage, RefusesBodiesBeyondTheLengthFieldWithoutWriting) {
  fakes::MemorySink sink;
  const std::uint8_t byte = 0;
  // Only the size is examined before anything is written, so the span is never read.
  const std::span<const std::uint8_t> huge(&byte, std::size_t{1} << 32);
  auto written = write_native_message(sink, huge);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message, "Cannot write native response: response too large");
  EXPECT_TRUE(sink.bytes.empty());
}

}  // namespace
}  // namespace vantrel
