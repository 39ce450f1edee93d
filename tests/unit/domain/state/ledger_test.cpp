#include "domain/state/ledger.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/os_error.hpp"
#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;

const std::string SHA(64, 'a');

// A complete record on one line.
std::string record_json(std::string_view id, std::string_view extra = "",
                        std::string_view printer = "Label") {
  return "{\"intent_id\":\"" + std::string(id) + "\",\"payload_sha256\":\"" + SHA +
         "\",\"state\":\"SUBMITTED\",\"printer\":\"" + std::string(printer) +
         "\",\"os_job_id\":\"7\",\"created_at_ms\":10,\"updated_at_ms\":20,"
         "\"error_code\":\"\",\"error_message\":\"\"" +
         std::string(extra) + "}";
}

// Only the required members, then extra ones.
std::string minimal_record_json(std::string_view extra = "") {
  return "{\"intent_id\":\"a\",\"payload_sha256\":\"x\",\"state\":\"FAILED\","
         "\"printer\":\"p\",\"created_at_ms\":1" +
         std::string(extra) + "}";
}

std::string ledger_json(std::string_view jobs, std::string_view schema = "1") {
  return "{\"schema\":" + std::string(schema) + ",\"updated_at_ms\":5,\"jobs\":{" +
         std::string(jobs) + "}}";
}

struct DecodeCase {
  std::string name;
  std::string document;
  std::optional<ErrorCode> code;  // none: decodes
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
  *out << c.name;
}

class LedgerDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(LedgerDecode, GivesTheExpectedOutcome) {
  const DecodeCase& c = GetParam();
  const Result<HostLedger> ledger = decode_ledger(c.document);
  if (!c.code) {
    EXPECT_TRUE(ledger.has_value()) << ledger.error().message;
    return;
  }
  ASSERT_FALSE(ledger.has_value());
  EXPECT_EQ(ledger.error().code, c.code);
  EXPECT_EQ(ledger.error().message,
            c.code == ErrorCode::STATE_VERSION
                ? "The print-helper state was created by an incompatible version."
                : "The print-helper ledger is unreadable.");
}

constexpr ErrorCode CORRUPT = ErrorCode::STATE_CORRUPT;
constexpr ErrorCode VERSION = ErrorCode::STATE_VERSION;

std::string nested_arrays(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Documents, LedgerDecode,
    ::testing::Values(
        DecodeCase{"EmptyFile", "", CORRUPT}, DecodeCase{"WhiteSpaceOnly", " \t\r\n ", CORRUPT},
        DecodeCase{"ByteOrderMark", "\xEF\xBB\xBF" + ledger_json(""), CORRUPT},
        DecodeCase{"SurroundingWhiteSpace", " \r\n\t" + ledger_json("") + "\n ", {}},
        DecodeCase{"SchemaTwo", ledger_json("", "2"), VERSION},
        DecodeCase{"SchemaTwoThatDoesNotDecode", "{\"schema\":2,\"updated_at_ms\":5}", CORRUPT},
        DecodeCase{"SchemaNegative", ledger_json("", "-1"), CORRUPT},
        DecodeCase{"SchemaFraction", ledger_json("", "1.5"), CORRUPT},
        DecodeCase{"SchemaWrittenAsFraction", ledger_json("", "1.0"), CORRUPT},
        DecodeCase{"SchemaWithExponent", ledger_json("", "1e0"), CORRUPT},
        DecodeCase{"SchemaLeadingZero", ledger_json("", "01"), CORRUPT},
        DecodeCase{"SchemaPast32Bits", ledger_json("", "4294967297"), CORRUPT},
        DecodeCase{"SchemaAsText", ledger_json("", "\"1\""), CORRUPT},
        DecodeCase{"TimeAtTheTopOf64Bits",
                   "{\"schema\":1,\"updated_at_ms\":18446744073709551615,\"jobs\":{}}",
                   {}},
        DecodeCase{"TimePast64Bits",
                   "{\"schema\":1,\"updated_at_ms\":18446744073709551616,\"jobs\":{}}", CORRUPT},
        DecodeCase{"MissingJobs", "{\"schema\":1,\"updated_at_ms\":5}", CORRUPT},
        DecodeCase{"JobsAsArray", "{\"schema\":1,\"updated_at_ms\":5,\"jobs\":[]}", CORRUPT},
        DecodeCase{"JobsNull", "{\"schema\":1,\"updated_at_ms\":5,\"jobs\":null}", CORRUPT},
        DecodeCase{"DocumentIsArray", "[1,5,{}]", CORRUPT},
        DecodeCase{"SchemaTwice", "{\"schema\":1,\"schema\":1,\"updated_at_ms\":5,\"jobs\":{}}",
                   CORRUPT},
        DecodeCase{"RecordWithoutUpdatedAt", ledger_json("\"a\":" + minimal_record_json()),
                   CORRUPT},
        DecodeCase{"RecordMemberTwice",
                   ledger_json("\"a\":" + record_json("a", ",\"state\":\"X\"")), CORRUPT},
        DecodeCase{
            "RecordNullText",
            ledger_json("\"a\":" + minimal_record_json(",\"updated_at_ms\":1,\"os_job_id\":null")),
            CORRUPT},
        DecodeCase{"RecordNegativeTime",
                   ledger_json("\"a\":" + minimal_record_json(",\"updated_at_ms\":-1")), CORRUPT},
        DecodeCase{"RecordAsArray", ledger_json("\"a\":[\"a\"]"), CORRUPT},
        DecodeCase{"UnknownMembersAnyValue",
                   "{\"x\":[1,-2.5e+3,true,false,null,{\"y\":\"z\",\"y\":0}],\"schema\":1,"
                   "\"updated_at_ms\":5,\"x\":\"again\",\"jobs\":{\"a\":" +
                       record_json("a", ",\"note\":{\"deep\":[[]]},\"note\":1") + "}}",
                   {}},
        DecodeCase{"InvalidUtf8InText", ledger_json("\"a\":" + record_json("a\xC3")), CORRUPT},
        DecodeCase{"InvalidUtf8InKey", ledger_json("\"\xFF\":" + record_json("a")), CORRUPT},
        DecodeCase{"InvalidUtf8InSkippedValue",
                   "{\"x\":\"\xED\xA0\x80\",\"schema\":1,\"updated_at_ms\":5,\"jobs\":{}}",
                   CORRUPT},
        DecodeCase{"LoneSurrogateEscape", ledger_json("\"a\":" + record_json("\\ud800")), CORRUPT},
        DecodeCase{"RawControlCharacter", ledger_json("\"a\":" + record_json("a\tb")), CORRUPT},
        DecodeCase{"UnknownEscape", ledger_json("\"a\":" + record_json("a\\x")), CORRUPT},
        DecodeCase{"TrailingText", ledger_json("") + " x", CORRUPT},
        DecodeCase{"TwoDocuments", ledger_json("") + ledger_json(""), CORRUPT},
        DecodeCase{"TrailingComma", "{\"schema\":1,\"updated_at_ms\":5,\"jobs\":{},}", CORRUPT},
        DecodeCase{"Truncated", ledger_json("\"a\":" + record_json("a")).substr(0, 120), CORRUPT},
        DecodeCase{"BadLiteralInSkippedValue",
                   "{\"x\":nul,\"schema\":1,\"updated_at_ms\":5,\"jobs\":{}}", CORRUPT},
        DecodeCase{
            "ModeratelyNestedSkippedValue",
            "{\"x\":" + nested_arrays(100) + ",\"schema\":1,\"updated_at_ms\":5,\"jobs\":{}}",
            {}},
        DecodeCase{
            "DeeplyNestedSkippedValue",
            "{\"x\":" + nested_arrays(100'000) + ",\"schema\":1,\"updated_at_ms\":5,\"jobs\":{}}",
            CORRUPT}),
    [](const auto& info) { return info.param.name; });

TEST(LedgerDecode, MissingOptionalMembersAreEmptyAndWrittenBackAsEmptyText) {
  const auto ledger =
      decode_ledger(ledger_json("\"a\":" + minimal_record_json(",\"updated_at_ms\":2")));
  ASSERT_TRUE(ledger.has_value());
  const JobRecord& record = ledger->jobs.at("a");
  EXPECT_EQ(record, (JobRecord{"a", "x", AttemptState::FAILED, "p", "", 1, 2, "", "", ""}));
  const std::string saved = encode_ledger(*ledger).value();
  EXPECT_NE(saved.find("\"os_job_id\": \"\",\n"), std::string::npos);
  EXPECT_NE(saved.find("\"error_code\": \"\",\n"), std::string::npos);
  EXPECT_NE(saved.find("\"error_message\": \"\"\n"), std::string::npos);
}

TEST(LedgerDecode, UnknownMembersDoNotSurviveASave) {
  const auto ledger = decode_ledger(
      "{\"extra\":{\"a\":1},\"schema\":1,\"updated_at_ms\":5,"
      "\"jobs\":{\"a\":" +
      record_json("a", ",\"note\":\"n\"") + "}}");
  ASSERT_TRUE(ledger.has_value());
  const std::string saved = encode_ledger(*ledger).value();
  EXPECT_EQ(saved.find("extra"), std::string::npos);
  EXPECT_EQ(saved.find("note"), std::string::npos);
}

TEST(LedgerDecode, KeysDifferingInCaseAreDistinctAndInByteOrder) {
  const auto ledger =
      decode_ledger(ledger_json("\"ab\":" + record_json("ab") + ",\"a\":" + record_json("a") +
                                ",\"B\":" + record_json("B") + ",\"b\":" + record_json("b")));
  ASSERT_TRUE(ledger.has_value());
  std::vector<std::string> keys;
  for (const auto& [key, record] : ledger->jobs) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b"}));
}

TEST(LedgerDecode, RepeatedJobKeyTakesTheLaterRecord) {
  std::string later = record_json("a");
  later.replace(later.find("SUBMITTED"), 9, "COMPLETED");
  const auto ledger = decode_ledger(ledger_json("\"a\":" + record_json("a") + ",\"a\":" + later));
  ASSERT_TRUE(ledger.has_value());
  ASSERT_EQ(ledger->jobs.size(), 1u);
  EXPECT_EQ(stored_state(ledger->jobs.at("a")), "COMPLETED");
}

TEST(LedgerDecode, EscapesDecodeToUtf8) {
  const auto ledger = decode_ledger(ledger_json(
      "\"k\\u00e9\":" + record_json("a", ",\"printer\\u0000\":1",
                                    "L\\u00e9\\ud83d\\ude00\\n\\/\\\"\\\\\\b\\f\\r\\t\xC3\xA9")));
  ASSERT_TRUE(ledger.has_value());
  ASSERT_TRUE(ledger->jobs.contains("k\xC3\xA9"));
  EXPECT_EQ(ledger->jobs.at("k\xC3\xA9").printer,
            "L\xC3\xA9\xF0\x9F\x98\x80\n/\"\\\b\f\r\t\xC3\xA9");
}

// The file as the host writes it: two records, one with text that needs escaping.
const std::string HOST_WRITTEN = R"json({
  "schema": 1,
  "updated_at_ms": 1700000000123,
  "jobs": {
    "Order-1": {
      "intent_id": "Order-1",
      "payload_sha256": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
      "state": "FAILED",
      "printer": "Zebra \"ZD\" / ",
      "os_job_id": "",
      "created_at_ms": 1700000000000,
      "updated_at_ms": 1700000000100,
      "error_code": "SUBMISSION_REJECTED",
      "error_message": "Windows rejected the print job: Lock\nviolation.\u0001\t(os error 33)"
    },
    "order-1": {
      "intent_id": "order-1",
      "payload_sha256": "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "state": "SUBMITTED",
      "printer": "Étiquettes",
      "os_job_id": "4294967295",
      "created_at_ms": 0,
      "updated_at_ms": 18446744073709551615,
      "error_code": "",
      "error_message": ""
    }
  }
})json";

TEST(LedgerEncode, RoundTripIsByteExact) {
  const auto ledger = decode_ledger(HOST_WRITTEN);
  ASSERT_TRUE(ledger.has_value());
  EXPECT_EQ(ledger->jobs.at("Order-1").error_message,
            "Windows rejected the print job: Lock\nviolation.\x01\t(os error 33)");
  EXPECT_EQ(encode_ledger(*ledger).value(), HOST_WRITTEN);
}

TEST(LedgerEncode, EmptyJobsStayOnTheNameLine) {
  const HostLedger ledger{1, 42, {}};
  EXPECT_EQ(encode_ledger(ledger).value(),
            "{\n  \"schema\": 1,\n  \"updated_at_ms\": 42,\n  \"jobs\": {}\n}");
}

TEST(LedgerEncode, TextThatIsNotUtf8CannotBeEncoded) {
  HostLedger ledger{1, 42, {}};
  ledger.jobs["a"] = JobRecord{"a", SHA, AttemptState::FAILED, "bad\xFF", "", 1, 1, "", "", ""};
  EXPECT_EQ(encode_ledger(ledger).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE, "Cannot encode print-helper state."}));
}

class LedgerFile : public ::testing::Test {
 protected:
  FakeStateFiles files;
  const std::string path = files.path("ledger.json");
};

TEST_F(LedgerFile, MissingFileIsANewLedgerAndWritesNothing) {
  for (std::uint32_t not_found : {2u}) {
    files.fail("read_file", not_found);
    const auto ledger = load_ledger(files.store());
    ASSERT_TRUE(ledger.has_value());
    EXPECT_EQ(*ledger, (HostLedger{1, files.store().now_unix_ms(), {}}));
  }
  EXPECT_EQ(load_ledger(files.store()).value(), (HostLedger{1, files.store().now_unix_ms(), {}}));
  EXPECT_TRUE(files.calls_of("create_file").empty());
  EXPECT_FALSE(files.file(path).has_value());
}

TEST_F(LedgerFile, UnreadableFileIsStateUnavailable) {
  files.put_file(path, HOST_WRITTEN);
  files.fail("read_file", 5);
  EXPECT_EQ(load_ledger(files.store()).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot read print-helper state: " + os_error_text(5)}));
}

TEST_F(LedgerFile, CorruptFileIsRefusedAndLeftUntouched) {
  files.put_file(path, "{\"schema\":1,");
  EXPECT_EQ(load_ledger(files.store()).error().code, ErrorCode::STATE_CORRUPT);
  EXPECT_EQ(files.file(path), "{\"schema\":1,");
  EXPECT_TRUE(files.calls_of("create_file").empty());
}

TEST_F(LedgerFile, SaveThenLoadGivesTheSameLedger) {
  HostLedger ledger = decode_ledger(HOST_WRITTEN).value();
  ASSERT_TRUE(save_ledger(files.store(), ledger).has_value());
  EXPECT_EQ(files.file(path), HOST_WRITTEN);
  EXPECT_EQ(load_ledger(files.store()).value(), ledger);
}

TEST_F(LedgerFile, FailedSaveReportsTheReplacementErrorAndKeepsThePreviousFile) {
  files.put_file(path, HOST_WRITTEN);
  files.fail("flush", 112);
  EXPECT_EQ(save_ledger(files.store(), HostLedger{1, 1, {}}).error(),
            (HostError{ErrorCode::STATE_UNAVAILABLE,
                       "Cannot save print-helper state: " + os_error_text(112)}));
  EXPECT_EQ(files.file(path), HOST_WRITTEN);
}

}  // namespace
}  // namespace vantrel
