#include "domain/submit/submit_request.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

SubmitRequest valid_request() {
  SubmitRequest request;
  request.intent_id = "order-17:label.1_a";
  request.printer = "Label Printer";
  request.title = "Order 17";
  request.copies = 2;
  request.dpi = 203;
  request.payload.format = "png";
  request.payload.base64 = "iVBORw0K";
  request.payload.width_px = 400;
  request.payload.height_px = 300;
  return request;
}

TEST(SubmitValidation, AcceptsValidRequest) {
  EXPECT_TRUE(validate_submit_request(valid_request()).has_value());
}

std::string message_of(const SubmitRequest& request) {
  const Status status = validate_submit_request(request);
  if (status) return "ok";
  EXPECT_EQ(status.error().code, ErrorCode::BAD_REQUEST);
  return status.error().message;
}

const char* const INTENT = "intent_id contains unsupported characters.";
const char* const PRINTER = "printer is empty, too long, or contains control characters.";
const char* const TITLE = "title is empty, too long, or contains control characters.";
const char* const COPIES = "Copies must be between 1 and 10.";
const char* const DPI = "DPI must be between 72 and 1200.";
const char* const FORMAT = "Protocol 1 accepts PNG, ZPL and EPL labels only.";
const char* const DIMENSIONS = "Raster dimensions are outside the supported range.";
const char* const MEDIA = "media contains unsupported characters.";

TEST(SubmitValidation, IntentIdRule) {
  auto with_intent = [](std::string intent) {
    SubmitRequest request = valid_request();
    request.intent_id = std::move(intent);
    return message_of(request);
  };
  EXPECT_EQ(with_intent(std::string(160, 'a')), "ok");
  EXPECT_EQ(with_intent("AZaz09-.:_"), "ok");
  for (const std::string& bad : {std::string(161, 'a'), std::string(), std::string("a b"),
                                 std::string("a/b"), std::string("caf\xC3\xA9")}) {
    EXPECT_EQ(with_intent(bad), INTENT) << bad;
  }
}

TEST(SubmitValidation, PrinterAndTitleCountBytesAndJudgeCodePoints) {
  auto with_printer = [](std::string printer) {
    SubmitRequest request = valid_request();
    request.printer = std::move(printer);
    return message_of(request);
  };
  const std::string e_acute = "\xC3\xA9";  // two bytes
  EXPECT_EQ(with_printer(std::string(256, 'p')), "ok");
  EXPECT_EQ(with_printer(std::string(254, 'p') + e_acute), "ok");
  EXPECT_EQ(with_printer(std::string(257, 'p')), PRINTER);
  EXPECT_EQ(with_printer(std::string(255, 'p') + e_acute), PRINTER);
  EXPECT_EQ(with_printer(""), PRINTER);
  // Allowed: no-break space U+00A0 (C2 A0, whose second byte alone would look like C1 control),
  // Cyrillic, CJK, an emoji, and U+00A0's neighbour U+00A1.
  for (const char* good :
       {"Zebra\xC2\xA0GK420", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80",
        "\xE6\x89\x93\xE5\x8D\xB0", "\xF0\x9F\x96\xA8", "\xC2\xA1", "~"}) {
    EXPECT_EQ(with_printer(good), "ok") << good;
  }
  for (const std::string& bad :
       {std::string("a\tb"), std::string("a\nb"), std::string("a\x7F"), std::string("a\xC2\x85"),
        std::string("\xC2\x80"), std::string("\xC2\x9F"), std::string(1, '\0'),
        std::string("\x1F")}) {
    EXPECT_EQ(with_printer(bad), PRINTER);
  }

  SubmitRequest request = valid_request();
  request.title = std::string(200, 't');
  EXPECT_EQ(message_of(request), "ok");
  request.title = std::string(201, 't');
  EXPECT_EQ(message_of(request), TITLE);
  request.title = "";
  EXPECT_EQ(message_of(request), TITLE);
  request.title = "Line\rbreak";
  EXPECT_EQ(message_of(request), TITLE);
}

struct NumberCase {
  std::uint16_t copies;
  std::uint32_t dpi;
  std::uint32_t width;
  std::uint32_t height;
  const char* expected;
};

class SubmitNumberBounds : public ::testing::TestWithParam<NumberCase> {};

TEST_P(SubmitNumberBounds, AreInclusive) {
  SubmitRequest request = valid_request();
  request.copies = GetParam().copies;
  request.dpi = GetParam().dpi;
  request.payload.width_px = GetParam().width;
  request.payload.height_px = GetParam().height;
  EXPECT_EQ(message_of(request), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SubmitNumberBounds,
    ::testing::Values(NumberCase{1, 72, 16, 16, "ok"}, NumberCase{10, 1200, 10000, 10000, "ok"},
                      NumberCase{0, 203, 400, 300, COPIES}, NumberCase{11, 203, 400, 300, COPIES},
                      NumberCase{65535, 203, 400, 300, COPIES}, NumberCase{1, 71, 400, 300, DPI},
                      NumberCase{1, 1201, 400, 300, DPI}, NumberCase{1, 0, 400, 300, DPI},
                      NumberCase{1, 203, 15, 300, DIMENSIONS},
                      NumberCase{1, 203, 10001, 300, DIMENSIONS},
                      NumberCase{1, 203, 400, 15, DIMENSIONS},
                      NumberCase{1, 203, 400, 10001, DIMENSIONS},
                      NumberCase{1, 203, 0, 0, DIMENSIONS}));

TEST(SubmitValidation, FormatMustBeLowerCasePng) {
  for (const char* format : {"PNG", "Png", "png ", "", "jpeg"}) {
    SubmitRequest request = valid_request();
    request.payload.format = format;
    EXPECT_EQ(message_of(request), FORMAT) << format;
  }
}

TEST(SubmitValidation, MediaRule) {
  auto with_media = [](std::optional<std::string> media) {
    SubmitRequest request = valid_request();
    request.media = std::move(media);
    return message_of(request);
  };
  EXPECT_EQ(with_media(std::nullopt), "ok");
  EXPECT_EQ(with_media("AZaz09-._"), "ok");
  EXPECT_EQ(with_media(std::string(128, 'm')), "ok");
  for (const std::string& bad : {std::string(), std::string(129, 'm'), std::string("4x6:in"),
                                 std::string("a b"), std::string("\xC3\xA9")}) {
    EXPECT_EQ(with_media(bad), MEDIA) << bad;
  }
}

TEST(SubmitValidation, FirstFailingRuleWins) {
  SubmitRequest request = valid_request();
  request.media = "";
  request.payload.width_px = 1;
  EXPECT_EQ(message_of(request), DIMENSIONS);
  request.payload.format = "PNG";
  EXPECT_EQ(message_of(request), FORMAT);
  request.dpi = 10;
  EXPECT_EQ(message_of(request), DPI);
  request.copies = 0;
  EXPECT_EQ(message_of(request), COPIES);
  request.title = "";
  EXPECT_EQ(message_of(request), TITLE);
  request.printer = "";
  EXPECT_EQ(message_of(request), PRINTER);
  request.intent_id = "";
  EXPECT_EQ(message_of(request), INTENT);
}

}  // namespace
}  // namespace vantrel
