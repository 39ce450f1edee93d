#include "protocol/envelope.hpp"

#include <gtest/gtest.h>

#include "protocol/answers.hpp"

namespace vantrel {
namespace {

std::optional<Request> decode(std::string_view body) {
  return decode_envelope({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
}

// The native build is the Linux host; the Windows answer is checked under Wine (test_spine.py).
constexpr std::string_view HELLO_ANSWER =
    R"({"protocol":1,"request_id":"a","ok":true,"result":{"arch":"x86_64","capabilities":)"
    R"(["list_printers","submit_png","get_job","durable_idempotency","media","get_printer",)"
    R"("submit_batch","submit_raw","submit_batch_raw"],)"
    R"("platform":"linux",)"
    R"("protocol":1,"version":"1.3.0"}})";

TEST(Envelope, HelloAnswerIsByteExact) {
  auto request = decode(R"({"protocol":1,"request_id":"a","type":"hello"})");
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->payload.is_null());
  EXPECT_EQ(encode_response({request->request_id, hello_result("linux")}), HELLO_ANSWER);
}

TEST(Envelope, IgnoresUnknownMembersWhateverTheirValue) {
  auto request = decode(
      " {\"extra\":[1,{\"x\":[]}],\"type\":\"hello\",\"request_id\":\"a\",\"protocol\":1}\r\n");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->type, "hello");
}

class EnvelopeRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(EnvelopeRejects, BodyThatIsNotAValidEnvelope) {
  EXPECT_FALSE(decode(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, EnvelopeRejects,
    ::testing::Values(R"({"protocol":1,"request_id":"a","type":"hello","type":"hello"})",
                      R"({"protocol":1.0,"request_id":"a","type":"hello"})",
                      R"({"protocol":-1,"request_id":"a","type":"hello"})",
                      R"({"protocol":1e0,"request_id":"a","type":"hello"})",
                      R"({"protocol":4294967296,"request_id":"a","type":"hello"})",
                      R"({"protocol":"1","request_id":"a","type":"hello"})",
                      R"({"protocol":1,"request_id":7,"type":"hello"})",
                      R"({"protocol":1,"request_id":"a"})", R"("hello")", R"([1,"a","hello"])",
                      R"({"protocol":1,"request_id":"a","type":"hello"} x)",
                      R"({"protocol":1,"request_id":"a","type":"hello"}{})", "",
                      "\xEF\xBB\xBF{\"protocol\":1,\"request_id\":\"a\",\"type\":\"hello\"}",
                      "{\"protocol\":1,\"request_id\":\"\xC3\",\"type\":\"hello\"}",
                      R"({"protocol":1,"request_id":"\ud800","type":"hello"})",
                      // The JSON library's lexer would end the text at a NUL byte.
                      std::string(R"({"protocol":1,"request_id":"a","type":"hello"})") + '\0',
                      std::string(R"({"protocol":1,"request_id":"a","type":"hello"})") +
                          std::string("\0garbage", 8),
                      std::string(R"({"protocol":1,"request_id":"a","type":"hello",)") +
                          std::string("\0", 1) + R"("payload":1})"));

TEST(Envelope, PayloadKeepsLastValueOfARepeatedKeyAndSortsKeys) {
  auto request =
      decode(R"({"protocol":1,"request_id":"a","type":"t","payload":{"b":1,"a":2,"b":3}})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->payload["b"], 3);
  EXPECT_EQ(request->payload.begin().key(), "a");
}

std::string nested(std::size_t levels) {
  // The envelope is the first level; the payload adds levels - 1 arrays.
  return R"({"protocol":1,"request_id":"a","type":"hello","payload":)" +
         std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

TEST(Envelope, NestingLimitIsOneHundredTwentySevenLevels) {
  EXPECT_TRUE(decode(nested(127)));
  EXPECT_FALSE(decode(nested(128)));
  EXPECT_FALSE(decode(std::string(100'000, '[')));
}

TEST(Envelope, ProtocolOtherThanOneIsAMismatch) {
  auto request = decode(R"({"protocol":2,"request_id":"bad id","type":"hello"})");
  ASSERT_TRUE(request);
  auto checked = check_protocol(*request);
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error(), (HostError{ErrorCode::PROTOCOL_MISMATCH, "Expected protocol 1."}));
}

TEST(Envelope, RequestIdRule) {
  Request request;
  for (const auto& [id, ok] :
       std::vector<std::pair<std::string, bool>>{{std::string(128, 'x'), true},
                                                 {"Az09-.:_", true},
                                                 {std::string(129, 'x'), false},
                                                 {"", false},
                                                 {"a b", false},
                                                 {"a/b", false}}) {
    request.request_id = id;
    auto checked = check_request_id(request);
    EXPECT_EQ(checked.has_value(), ok) << id;
    if (!ok) {
      EXPECT_EQ(checked.error(),
                (HostError{ErrorCode::BAD_REQUEST, "request_id contains unsupported characters."}));
    }
  }
}

TEST(Envelope, ErrorAnswerEscapesAndKeepsNonAsciiRaw) {
  const HostResponse response{
      "r\xC3\xA9",
      std::unexpected(HostError{ErrorCode::BAD_REQUEST, "say \"hi\"\nto \xE2\x82\xAC/"})};
  EXPECT_EQ(encode_response(response),
            "{\"protocol\":1,\"request_id\":\"r\xC3\xA9\",\"ok\":false,\"error\":{\"code\":"
            "\"BAD_REQUEST\",\"message\":\"say \\\"hi\\\"\\nto \xE2\x82\xAC/\"}}");
  // A conflict's stored state follows the message; other errors have none.
  const HostResponse conflict{
      "c", std::unexpected(HostError{ErrorCode::INTENT_CONFLICT, "m", "UNKNOWN"})};
  EXPECT_EQ(encode_response(conflict),
            "{\"protocol\":1,\"request_id\":\"c\",\"ok\":false,\"error\":{\"code\":"
            "\"INTENT_CONFLICT\",\"message\":\"m\",\"stored_state\":\"UNKNOWN\"}}");
}

TEST(Envelope, EscapedLetterInRequestIdComesBackPlain) {
  auto request = decode(R"({"protocol":1,"request_id":"\u0061b","type":"hello"})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->request_id, "ab");
}

}  // namespace
}  // namespace vantrel
