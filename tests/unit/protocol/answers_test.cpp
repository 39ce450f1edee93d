#include "protocol/answers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

std::string compact(const JsonValue& value) {
  std::string out;
  append_compact_json(out, value);
  return out;
}

JobRecord failed_record() {
  JobRecord record;
  record.intent_id = "order-17";
  record.payload_sha256 = std::string(64, 'a');
  record.state = AttemptState::FAILED;
  record.printer = "Label Printer";
  record.os_job_id = "42";
  record.created_at_ms = 18'446'744'073'709'551'615u;
  record.updated_at_ms = 1'699'000'000'000;
  record.error_code = "SUBMISSION_REJECTED";
  record.error_message = "Windows \"said\" no";
  return record;
}

TEST(Answers, QueueListingNamesEveryStateAndKeepsTheQueueOrder) {
  QueueListing listing;
  listing.default_printer = "b";
  const PrintQueueState states[] = {PrintQueueState::unavailable, PrintQueueState::idle,
                                    PrintQueueState::printing,    PrintQueueState::offline,
                                    PrintQueueState::paused,      PrintQueueState::error};
  char name = 'f';
  for (const PrintQueueState state : states) {
    listing.queues.push_back(PrintQueueInfo{std::string(1, name--), is_enabled(state), state, "u"});
  }
  EXPECT_EQ(compact(queue_listing_result(listing)),
            R"({"default_printer":"b","printers":[)"
            R"({"enabled":false,"name":"f","state":"unavailable","uri":"u"},)"
            R"({"enabled":true,"name":"e","state":"idle","uri":"u"},)"
            R"({"enabled":true,"name":"d","state":"printing","uri":"u"},)"
            R"({"enabled":false,"name":"c","state":"offline","uri":"u"},)"
            R"({"enabled":false,"name":"b","state":"paused","uri":"u"},)"
            R"({"enabled":false,"name":"a","state":"error","uri":"u"}]})");
}

TEST(Answers, JobRecordListsNineMembersInByteOrderWithIntegerTimes) {
  EXPECT_EQ(compact(job_record_result(failed_record())),
            "{\"created_at_ms\":18446744073709551615,\"error_code\":\"SUBMISSION_REJECTED\","
            "\"error_message\":\"Windows \\\"said\\\" no\",\"intent_id\":\"order-17\","
            "\"os_job_id\":\"42\",\"payload_sha256\":\"" +
                std::string(64, 'a') +
                "\",\"printer\":\"Label Printer\",\"state\":\"FAILED\","
                "\"updated_at_ms\":1699000000000}");
}

TEST(Answers, SubmitListsFiveMembersWithTheStateWord) {
  JobRecord record = failed_record();
  record.state = AttemptState::SUBMITTED;
  EXPECT_EQ(compact(submit_result(SubmitAnswer{true, record, std::nullopt})),
            R"({"duplicate":true,"intent_id":"order-17","os_job_id":"42",)"
            R"("printer":"Label Printer","state":"SUBMITTED"})");
}

TEST(Answers, BatchResultsCarryEachLabelAsItsOwnEnvelopeWould) {
  JobRecord record = failed_record();
  record.state = AttemptState::SUBMITTED;
  const std::vector<LabelAnswer> answers{
      SubmitAnswer{false, record, std::nullopt},
      std::unexpected(HostError{ErrorCode::ATTEMPT_FAILED, "no"}),
      std::unexpected(HostError{ErrorCode::INTENT_CONFLICT, "used", "COMPLETED"})};
  EXPECT_EQ(compact(submit_batch_result(answers)),
            R"({"results":[{"ok":true,"result":{"duplicate":false,"intent_id":"order-17",)"
            R"("os_job_id":"42","printer":"Label Printer","state":"SUBMITTED"}},)"
            R"({"error":{"code":"ATTEMPT_FAILED","message":"no"},"ok":false},)"
            R"({"error":{"code":"INTENT_CONFLICT","message":"used","stored_state":"COMPLETED"},)"
            R"("ok":false}]})");
  EXPECT_NE(hello_result("linux").at("capabilities").dump().find("\"submit_batch\""),
            std::string::npos);
}

TEST(Answers, APrinterLanguageLabelsAnswerSaysWhetherItsSizeWasChecked) {
  JobRecord record = failed_record();
  record.state = AttemptState::SUBMITTED;
  EXPECT_EQ(compact(submit_result(SubmitAnswer{false, record, LabelGeometry::undeclared})),
            R"({"duplicate":false,"geometry":"undeclared","intent_id":"order-17","os_job_id":"42",)"
            R"("printer":"Label Printer","state":"SUBMITTED"})");
  EXPECT_EQ(submit_result(SubmitAnswer{false, record, LabelGeometry::checked})["geometry"],
            "checked");
  PrinterAnswer answer;
  answer.details.raw = false;
  EXPECT_EQ(printer_answer_result(answer)["raw"], false);
}

TEST(Answers, PrinterDetailsInMicrometresWithUnknownsAsNull) {
  PrinterAnswer answer{
      {"Zebra",
       PrintQueueState::idle,
       true,
       false,
       {{203, 203}, {300, 300}},
       std::nullopt,
       {{"na_index-4x6_4x6in", {101'600, 152'400}, MediaArea{0, 0, 101'600, 152'400}},
        {"custom_4x4in", {101'600, 101'600}, std::nullopt}},
       "na_index-4x6_4x6in",
       {},
       MediaRange{{25'400, 12'700}, {104'000, 990'600}},
       std::nullopt},
      true,
      "cups",
      false};
  EXPECT_EQ(
      compact(printer_answer_result(answer)),
      R"({"color":false,"custom_range":{"max_height_um":990600,"max_width_um":104000,)"
      R"("min_height_um":12700,"min_width_um":25400},)"
      R"("default_media":"na_index-4x6_4x6in","default_resolution":null,)"
      R"("enabled":true,"is_default":true,"media":[{"height_um":152400,"name":"na_index-4x6_4x6in",)"
      R"("printable_area":{"height_um":152400,"width_um":101600,"x_um":0,"y_um":0},)"
      R"("width_um":101600},{"height_um":101600,"name":"custom_4x4in","printable_area":null,)"
      R"("width_um":101600}],"media_ready":[],"media_truncated":false,"name":"Zebra","raw":null,)"
      R"("resolutions":[{"x_dpi":203,"y_dpi":203},{"x_dpi":300,"y_dpi":300}],"state":"idle",)"
      R"("uri":"cups"})");
}

}  // namespace
}  // namespace vantrel
