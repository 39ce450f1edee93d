#include "protocol/requests.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

// ---- submit

const char* const MISMATCH = "The print job does not match protocol 1.";

JsonValue valid_payload() {
  return JsonValue::parse(R"({
    "intent_id": "order-17:label.1_a",
    "printer": "Label Printer",
    "title": "Order 17",
    "copies": 2,
    "dpi": 203,
    "payload": {"format": "png", "base64": "iVBORw0K", "width_px": 400, "height_px": 300}
  })");
}

TEST(SubmitMapping, MapsEveryField) {
  JsonValue payload = valid_payload();
  payload["media"] = "4x6";
  const auto request = map_submit_request(payload);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->intent_id, "order-17:label.1_a");
  EXPECT_EQ(request->printer, "Label Printer");
  EXPECT_EQ(request->title, "Order 17");
  EXPECT_EQ(request->copies, 2);
  EXPECT_EQ(request->media, "4x6");
  EXPECT_EQ(request->dpi, 203u);
  EXPECT_EQ(request->payload.format, "png");
  EXPECT_EQ(request->payload.base64, "iVBORw0K");
  EXPECT_EQ(request->payload.width_px, 400u);
  EXPECT_EQ(request->payload.height_px, 300u);
}

TEST(SubmitMapping, APrinterLanguageLabelStatesNoSidesAndMayAllowPrinterSettings) {
  struct Case {
    const char* payload;
    const char* settings;  // "printer_settings" JSON, or nullptr for none
    bool mapped;
    bool allowed;
  };
  const Case cases[] = {
      {R"({"format": "zpl", "base64": "XlhB"})", nullptr, true, false},
      {R"({"format": "epl", "base64": "Tgo="})", R"("allow")", true, true},
      {R"({"format": "zpl", "base64": "XlhB"})", "null", true, false},
      {R"({"format": "zpl", "base64": "XlhB"})", R"("deny")", false, false},
      {R"({"format": "zpl", "base64": "XlhB"})", "true", false, false},
      {R"({"format": "zpl", "base64": "XlhB", "width_px": 812})", nullptr, false, false},
      {R"({"format": "epl", "base64": "Tgo=", "height_px": 1218})", nullptr, false, false},
      // A PNG's printer_settings is not read, as no member beyond its own ever was.
      {R"({"format": "png", "base64": "iVBO", "width_px": 4, "height_px": 3})", R"("deny")", true,
       false},
  };
  for (const Case& c : cases) {
    JsonValue payload = valid_payload();
    payload["payload"] = JsonValue::parse(c.payload);
    if (c.settings) payload["printer_settings"] = JsonValue::parse(c.settings);
    const auto request = map_submit_request(payload);
    ASSERT_EQ(request.has_value(), c.mapped) << c.payload << " " << (c.settings ? c.settings : "");
    if (request) {
      EXPECT_EQ(request->printer_settings_allowed, c.allowed) << c.payload;
    } else {
      EXPECT_EQ(request.error().message, MISMATCH);
    }
  }
}

TEST(SubmitMapping, AbsentOrNullMediaMeansNone) {
  JsonValue payload = valid_payload();
  EXPECT_EQ(map_submit_request(payload)->media, std::nullopt);
  payload["media"] = nullptr;
  EXPECT_EQ(map_submit_request(payload)->media, std::nullopt);
  payload["media"] = "";
  EXPECT_EQ(map_submit_request(payload)->media, std::string());
}

TEST(SubmitMapping, IgnoresUnknownKeysAtBothLevels) {
  JsonValue payload = valid_payload();
  payload["payload_sha256"] = "abc";
  payload["extra"] = JsonValue::array({1, 2});
  payload["payload"]["dpi"] = "not ours";
  payload["payload"]["nested"] = JsonValue::object();
  EXPECT_TRUE(map_submit_request(payload).has_value());
}

TEST(SubmitMapping, KeepsWidestValuesOfEachField) {
  JsonValue payload = valid_payload();
  payload["copies"] = JsonValue::parse("65535");
  payload["dpi"] = JsonValue::parse("4294967295");
  payload["payload"]["width_px"] = JsonValue::parse("0");
  const auto request = map_submit_request(payload);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->copies, 65535);
  EXPECT_EQ(request->dpi, 4294967295u);
  EXPECT_EQ(request->payload.width_px, 0u);
}

struct Breakage {
  const char* name;
  const char* pointer;  // JSON pointer of the member to change
  const char* value;    // JSON text, or nullptr to remove the member
};

class SubmitMappingFailure : public ::testing::TestWithParam<Breakage> {};

TEST_P(SubmitMappingFailure, ReportsProtocolMismatch) {
  JsonValue payload = valid_payload();
  const JsonValue::json_pointer pointer(GetParam().pointer);
  if (GetParam().value == nullptr) {
    payload[pointer.parent_pointer()].erase(pointer.back());
  } else {
    payload[pointer] = JsonValue::parse(GetParam().value);
  }
  const auto request = map_submit_request(payload);
  ASSERT_FALSE(request.has_value());
  EXPECT_EQ(request.error(), (HostError{ErrorCode::BAD_REQUEST, MISMATCH}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SubmitMappingFailure,
    ::testing::Values(
        Breakage{"MissingIntent", "/intent_id", nullptr},
        Breakage{"MissingPrinter", "/printer", nullptr},
        Breakage{"MissingTitle", "/title", nullptr}, Breakage{"MissingCopies", "/copies", nullptr},
        Breakage{"MissingDpi", "/dpi", nullptr}, Breakage{"MissingPayload", "/payload", nullptr},
        Breakage{"MissingFormat", "/payload/format", nullptr},
        Breakage{"MissingBase64", "/payload/base64", nullptr},
        Breakage{"MissingWidth", "/payload/width_px", nullptr},
        Breakage{"MissingHeight", "/payload/height_px", nullptr},
        Breakage{"CopiesAsString", "/copies", R"("1")"},
        Breakage{"PrinterAsNumber", "/printer", "5"}, Breakage{"PayloadAsArray", "/payload", "[]"},
        Breakage{"PayloadAsNull", "/payload", "null"}, Breakage{"MediaAsNumber", "/media", "4"},
        Breakage{"MediaAsBoolean", "/media", "false"}, Breakage{"TitleAsNull", "/title", "null"},
        Breakage{"CopiesTooWide", "/copies", "70000"}, Breakage{"CopiesNegative", "/copies", "-1"},
        Breakage{"CopiesFraction", "/copies", "2.5"},
        Breakage{"CopiesWholeFraction", "/copies", "1.0"},
        Breakage{"CopiesExponent", "/copies", "1e0"}, Breakage{"DpiTooWide", "/dpi", "4294967296"},
        Breakage{"DpiBeyond64Bits", "/dpi", "18446744073709551616"},
        Breakage{"WidthNegative", "/payload/width_px", "-400"},
        Breakage{"HeightFraction", "/payload/height_px", "300.5"},
        Breakage{"FormatAsObject", "/payload/format", "{}"},
        Breakage{"Base64AsNumber", "/payload/base64", "0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SubmitMapping, RefusesNonObjectPayload) {
  for (const char* text : {"null", "[]", R"("submit")", "1"}) {
    EXPECT_EQ(map_submit_request(JsonValue::parse(text)).error().message, MISMATCH) << text;
  }
}

TEST(SubmitBatchMapping, MapsSharedFieldsAndEachLabelAndRefusesAnyBrokenLabelWhole) {
  JsonValue payload = JsonValue::parse(
      R"({"printer":"P","title":"T","dpi":203,"media":"m","labels":[)"
      R"({"intent_id":"a","copies":2,"payload":{"format":"png","base64":"x","width_px":3,"height_px":4}}]})");
  const auto request = map_submit_batch_request(payload);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->media, "m");
  ASSERT_EQ(request->labels.size(), 1u);
  EXPECT_EQ(request->labels[0].intent_id, "a");
  EXPECT_EQ(request->labels[0].copies, 2);
  EXPECT_EQ(request->labels[0].payload.height_px, 4u);
  for (const char* broken : {"/labels/0/copies", "/labels/0/payload", "/labels", "/dpi"}) {
    JsonValue spoiled = payload;
    const JsonValue::json_pointer pointer(broken);
    spoiled[pointer.parent_pointer()].erase(pointer.back());
    EXPECT_EQ(map_submit_batch_request(spoiled).error().message, MISMATCH) << broken;
  }
  payload["labels"][0] = "a";
  EXPECT_EQ(map_submit_batch_request(payload).error().message, MISMATCH);
}

TEST(SubmitBatchMapping, PrinterSettingsAreTheBatchsOptInForPrinterLanguageLabelsOnly) {
  const auto mapped = [](const char* format, const char* settings) {
    return map_submit_batch_request(JsonValue::parse(
        std::string(R"({"printer":"P","title":"T","dpi":203,"printer_settings":)") + settings +
        R"(,"labels":[{"intent_id":"a","copies":1,"payload":{"format":")" + format +
        R"(","base64":"x"}}]})"));
  };
  EXPECT_TRUE(mapped("zpl", R"("allow")")->printer_settings_allowed);
  EXPECT_FALSE(mapped("epl", "null")->printer_settings_allowed);
  EXPECT_EQ(mapped("zpl", R"("yes")").error().message, MISMATCH);
}

// ---- get_job

TEST(GetJobPayload, TakesAValidIntentIdAndIgnoresOtherMembers) {
  const std::string longest(160, 'z');
  EXPECT_EQ(read_get_job_intent_id(JsonValue{{"intent_id", longest}}), longest);
  EXPECT_EQ(read_get_job_intent_id(
                JsonValue{{"intent_id", "Az09-.:_"}, {"printer", 7}, {"extra", nullptr}}),
            "Az09-.:_");
}

class GetJobPayloadRefused : public ::testing::TestWithParam<JsonValue> {};

TEST_P(GetJobPayloadRefused, IsABadRequest) {
  EXPECT_EQ(read_get_job_intent_id(GetParam()),
            std::unexpected(
                HostError{ErrorCode::BAD_REQUEST, "intent_id contains unsupported characters."}));
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, GetJobPayloadRefused,
    ::testing::Values(JsonValue(), JsonValue::array({"order-17"}), JsonValue("order-17"),
                      JsonValue::object(), JsonValue{{"intent", "order-17"}},
                      JsonValue{{"intent_id", nullptr}}, JsonValue{{"intent_id", 17}},
                      JsonValue{{"intent_id", JsonValue::array({"a"})}},
                      JsonValue{{"intent_id", ""}}, JsonValue{{"intent_id", std::string(161, 'z')}},
                      JsonValue{{"intent_id", "order 17"}}, JsonValue{{"intent_id", "order/17"}},
                      JsonValue{{"intent_id", "ordre-\xC3\xA9"}},
                      JsonValue{{"intent_id", std::string("order\0", 6)}}));

}  // namespace
}  // namespace vantrel
