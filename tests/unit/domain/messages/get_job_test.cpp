#include "domain/messages/get_job.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "fake_spooler.hpp"
#include "fake_state_files.hpp"
#include "fake_watchdogs.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"

namespace vantrel {
namespace {

using fakes::ERROR_INVALID_PARAMETER_CODE;
using fakes::FakeJob;
using fakes::FakePrinter;
using fakes::FakeSpooler;
using fakes::FakeStateFiles;
using fakes::FakeWatchdogs;

constexpr std::uint32_t ACCESS_DENIED_CODE = 5;
constexpr std::uint64_t STORED_AT_MS = 1'699'000'000'000;
const std::u16string QUEUE = u"Label Printer";
constexpr std::uint32_t JOB_ID = 42;

HostError error(ErrorCode code, std::string message) {
  return HostError{code, std::move(message)};
}

JobRecord stored_record(std::string state, std::string os_job_id = std::to_string(JOB_ID)) {
  JobRecord record;
  record.intent_id = "order-17";
  record.payload_sha256 = std::string(64, 'a');
  store_state(record, state);
  record.printer = "Label Printer";
  record.os_job_id = std::move(os_job_id);
  record.created_at_ms = STORED_AT_MS - 5;
  record.updated_at_ms = STORED_AT_MS;
  return record;
}

class JobObservation : public ::testing::Test {
 protected:
  JobObservation() {
    spooler.printers[QUEUE];
    // Every spooler call must run while the "observe_job" watchdog is armed.
    spooler.plan.hook = [this](std::string_view) {
      if (watchdogs.armed_now != 1) ++calls_outside_watchdog;
    };
  }

  // A record saved by an earlier message.
  void store(const JobRecord& record) {
    open();
    state_->ledger.jobs[record.intent_id] = record;
    state_->ledger.updated_at_ms = STORED_AT_MS;
    ASSERT_TRUE(state_->save());
    state_.reset();
  }

  void open() {
    state_.reset();
    state_.emplace(open_host_state(files.store()).value());
  }

  FakeJob& job() { return spooler.printers[QUEUE].jobs[JOB_ID]; }

  // One "get_job" message: state opened, handled, released. File calls are counted from here.
  Result<JsonValue> get_job(std::string_view intent_id = "order-17") {
    open();
    files.calls.clear();
    if (after_open) after_open(*state_);
    Result<JsonValue> answer = answer_of(
        handle_get_job(intent_id, *state_, windows_.system, watchdogs), job_record_result);
    state_.reset();
    return answer;
  }

  [[nodiscard]] std::size_t saves() const { return files.calls_of("rename_over").size(); }
  [[nodiscard]] HostLedger on_disk() const {
    return decode_ledger(*files.file(files.path("ledger.json"))).value();
  }
  [[nodiscard]] std::uint64_t now_ms() const { return files.now_ms; }
  void advance_clock_ms(std::uint64_t ms) { files.now_ms += ms; }

  void expect_observed_under_one_watchdog() const {
    EXPECT_EQ(watchdogs.labels, std::vector<std::string>{"observe_job"});
    EXPECT_EQ(watchdogs.armed_now, 0);
    EXPECT_EQ(watchdogs.disarmed, 1);
    EXPECT_EQ(calls_outside_watchdog, 0);
    EXPECT_TRUE(spooler.every_handle_closed_once());
  }

  FakeStateFiles files;
  FakeSpooler spooler;
  fakes::SpoolerPrintSystem windows_{spooler};
  FakeWatchdogs watchdogs;
  int calls_outside_watchdog = 0;
  // Runs after the message's state was opened (and recovered), before the handler.
  std::function<void(HostState&)> after_open;
  std::optional<HostState> state_;
};

// ---- The spooler's answer and the state it implies ---------------------------------------

struct MappingCase {
  std::string name;
  std::string stored;
  std::function<void(FakePrinter&)> arrange;
  std::string expected;
};

void PrintTo(const MappingCase& c, std::ostream* out) {
  *out << c.name;
}

FakeJob job_with_status(std::uint32_t status) {
  FakeJob job;
  job.status = status;
  return job;
}

FakeJob job_failing_fill(std::uint32_t code) {
  FakeJob job;
  job.fill_error = code;
  return job;
}

class JobObservationMapping : public JobObservation,
                              public ::testing::WithParamInterface<MappingCase> {};

TEST_P(JobObservationMapping, MovesTheRecordAsTheSpoolerAnswerImplies) {
  const MappingCase& c = GetParam();
  c.arrange(spooler.printers[QUEUE]);
  store(stored_record(c.stored));
  advance_clock_ms(1234);

  const auto answer = get_job();

  ASSERT_TRUE(answer) << answer.error().message;
  const bool changed = c.expected != c.stored;
  JobRecord expected = stored_record(c.expected);
  if (changed) expected.updated_at_ms = now_ms();
  EXPECT_EQ(*answer, job_record_result(expected));
  EXPECT_EQ(saves(), changed ? 1u : 0u);
  EXPECT_EQ(on_disk().jobs.at("order-17"), expected);
  EXPECT_EQ(on_disk().updated_at_ms, changed ? now_ms() : STORED_AT_MS);
  expect_observed_under_one_watchdog();
}

std::vector<MappingCase> mapping_cases() {
  const auto status = [](std::uint32_t word) {
    return [word](FakePrinter& p) { p.jobs[JOB_ID] = job_with_status(word); };
  };
  const auto fill_fails = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.jobs[JOB_ID] = job_failing_fill(code); };
  };
  const auto missing_job = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.missing_job_error = code; };
  };
  const auto short_size = [](std::uint32_t needed, std::uint32_t code) {
    return [needed, code](FakePrinter& p) {
      p.jobs[JOB_ID].needed = needed;
      p.jobs[JOB_ID].sizing_error = code;
    };
  };
  const auto open_fails = [](std::uint32_t code) {
    return [code](FakePrinter& p) { p.open_error = code; };
  };
  const std::string S("SUBMITTED"), O("OBSERVED"), C("COMPLETED"), U("UNKNOWN");
  return {
      {"submitted_queued", S, status(0), O},
      {"submitted_printing_and_spooling", S, status(0x10 | 0x8), O},
      {"submitted_paused_with_error", S, status(0x1 | 0x2), O},
      {"observed_still_queued", O, status(0x10), O},
      {"submitted_printed", S, status(0x80), C},
      {"observed_printed", O, status(0x80), C},
      {"submitted_complete", S, status(0x1000), C},
      {"observed_complete_and_printed", O, status(0x1080), C},
      {"submitted_deleted", S, status(0x100), U},
      {"observed_deleted", O, status(0x100), U},
      {"deleted_and_printed", O, status(0x180), U},
      {"deleted_and_complete", S, status(0x1100), U},
      {"observed_gone_at_sizing", O, missing_job(ERROR_INVALID_PARAMETER_CODE), U},
      {"submitted_gone_at_sizing", S, missing_job(ERROR_INVALID_PARAMETER_CODE), S},
      {"observed_gone_at_filling", O, fill_fails(ERROR_INVALID_PARAMETER_CODE), U},
      {"submitted_gone_at_filling", S, fill_fails(ERROR_INVALID_PARAMETER_CODE), S},
      {"observed_sizing_too_small_invalid_parameter", O, short_size(95, 87), U},
      {"observed_sizing_too_small_other_error", O, short_size(95, 122), O},
      {"observed_sizing_fails_with_no_error", O, missing_job(0), O},
      {"observed_sizing_access_denied", O, missing_job(ACCESS_DENIED_CODE), O},
      {"submitted_filling_access_denied", S, fill_fails(ACCESS_DENIED_CODE), S},
      {"observed_filling_access_denied", O, fill_fails(ACCESS_DENIED_CODE), O},
      {"observed_queue_not_opened", O, open_fails(ERROR_INVALID_PARAMETER_CODE), O},
      {"submitted_queue_not_opened", S, open_fails(ACCESS_DENIED_CODE), S},
  };
}

INSTANTIATE_TEST_SUITE_P(EveryRow, JobObservationMapping, ::testing::ValuesIn(mapping_cases()),
                         [](const auto& info) { return info.param.name; });

// Only CUPS reports a job given up after an error, and such a job may have printed whole.
TEST(StateAfterProgress, AFailedJobIsAnUnknownOutcome) {
  EXPECT_EQ(state_after_progress(AttemptState::SUBMITTED, JobProgress::failed),
            AttemptState::UNKNOWN);
  EXPECT_EQ(state_after_progress(AttemptState::OBSERVED, JobProgress::failed),
            AttemptState::UNKNOWN);
}

TEST_F(JobObservation, MissingQueueChangesNothing) {
  spooler.printers.clear();
  store(stored_record("OBSERVED"));
  const auto answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["state"], "OBSERVED");
  EXPECT_EQ(spooler.calls, std::vector<std::string>{"OpenPrinterW(Label Printer)"});
  EXPECT_EQ(saves(), 0u);
  expect_observed_under_one_watchdog();
}

// ---- Records the spooler is never asked about --------------------------------------------

class JobObservationSettled : public JobObservation,
                              public ::testing::WithParamInterface<std::string> {};

TEST_P(JobObservationSettled, IsAnsweredAsStoredWithoutSpoolerOrWatchdog) {
  JobRecord record = stored_record(GetParam());
  record.error_code = "SUBMISSION_REJECTED";
  record.error_message = "no";
  job() = job_with_status(0x80);
  // Put in after recovery, which would settle a stored "DISPATCHING" record.
  after_open = [&record](HostState& state) { state.ledger.jobs[record.intent_id] = record; };

  const auto answer = get_job();

  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, job_record_result(record));
  EXPECT_TRUE(spooler.calls.empty());
  EXPECT_TRUE(watchdogs.labels.empty());
  EXPECT_EQ(saves(), 0u);
}

// State words compare exactly: "submitted" is not "SUBMITTED".
INSTANTIATE_TEST_SUITE_P(OtherStates, JobObservationSettled,
                         ::testing::Values("FAILED", "UNKNOWN", "COMPLETED", "DISPATCHING",
                                           "submitted", "OBSERVED "));

// ---- "os_job_id" --------------------------------------------------------------------------

struct JobIdCase {
  std::string text;
  std::optional<std::uint32_t> number;
};

void PrintTo(const JobIdCase& c, std::ostream* out) {
  *out << '"' << c.text << '"';
}

class JobObservationJobId : public JobObservation,
                            public ::testing::WithParamInterface<JobIdCase> {};

TEST_P(JobObservationJobId, OnlyAnUnsigned32BitNumberReachesTheSpooler) {
  const JobIdCase& c = GetParam();
  EXPECT_EQ(parse_os_job_id(c.text), c.number);
  if (c.number) spooler.printers[QUEUE].jobs[*c.number] = job_with_status(0);
  store(stored_record("SUBMITTED", c.text));

  const auto answer = get_job();

  ASSERT_TRUE(answer);
  if (c.number) {
    EXPECT_EQ((*answer)["state"], "OBSERVED");
    ASSERT_GE(spooler.calls.size(), 2u);
    EXPECT_EQ(spooler.calls[1], "GetJobW(#1, " + std::to_string(*c.number) + ", 1, null, 0)");
  } else {
    EXPECT_EQ(*answer, job_record_result(stored_record("SUBMITTED", c.text)));
    EXPECT_TRUE(spooler.calls.empty());
    EXPECT_EQ(saves(), 0u);
  }
  expect_observed_under_one_watchdog();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JobObservationJobId,
    ::testing::Values(JobIdCase{"7", 7}, JobIdCase{"+7", 7}, JobIdCase{"007", 7}, JobIdCase{"0", 0},
                      JobIdCase{"4294967295", 4294967295u}, JobIdCase{"", std::nullopt},
                      JobIdCase{"+", std::nullopt}, JobIdCase{"++7", std::nullopt},
                      JobIdCase{"-7", std::nullopt}, JobIdCase{"-0", std::nullopt},
                      JobIdCase{"abc", std::nullopt}, JobIdCase{"7x", std::nullopt},
                      JobIdCase{" 7", std::nullopt}, JobIdCase{"4294967296", std::nullopt},
                      JobIdCase{"18446744073709551617", std::nullopt}));

// ---- The spooler calls ----------------------------------------------------------------------

TEST_F(JobObservation, AsksTheSizeThenFillsARoundedBufferWithTheReportedSize) {
  job().needed = 100;
  store(stored_record("SUBMITTED"));
  ASSERT_TRUE(get_job());
  EXPECT_EQ(spooler.calls, (std::vector<std::string>{
                               "OpenPrinterW(Label Printer)",
                               "GetJobW(#1, 42, 1, null, 0)",
                               // The fake writes 104 bytes: the buffer must have been rounded.
                               "GetJobW(#1, 42, 1, buffer, 100)",
                               "ClosePrinter(#1)",
                           }));
  EXPECT_FALSE(spooler.misaligned_buffer);
  expect_observed_under_one_watchdog();
}

TEST_F(JobObservation, ReportedSizeBelowTheRecordIsAFailedQuery) {
  job().needed = 95;
  job().sizing_error = ERROR_INVALID_PARAMETER_CODE;
  store(stored_record("SUBMITTED"));
  const auto answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["state"], "SUBMITTED");
  EXPECT_EQ(spooler.calls,
            (std::vector<std::string>{"OpenPrinterW(Label Printer)", "GetJobW(#1, 42, 1, null, 0)",
                                      "ClosePrinter(#1)"}));
}

TEST_F(JobObservation, FailedArmingLeavesTheSpoolerAlone) {
  watchdogs.arm_failure = error(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "no thread");
  job() = job_with_status(0x80);
  store(stored_record("OBSERVED"));
  const auto answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, job_record_result(stored_record("OBSERVED")));
  EXPECT_TRUE(spooler.calls.empty());
  EXPECT_EQ(saves(), 0u);
}

// ---- Saving ---------------------------------------------------------------------------------

TEST_F(JobObservation, FollowsAJobThroughTheQueueSavingOnlyChanges) {
  job() = job_with_status(0x10);  // printing
  store(stored_record("SUBMITTED"));

  advance_clock_ms(1000);
  const std::uint64_t observed_at = now_ms();
  auto answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["state"], "OBSERVED");
  EXPECT_EQ((*answer)["updated_at_ms"], observed_at);
  EXPECT_EQ(saves(), 1u);

  advance_clock_ms(1000);
  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["updated_at_ms"], observed_at);
  EXPECT_EQ(saves(), 0u);
  EXPECT_EQ(on_disk().updated_at_ms, observed_at);

  job() = job_with_status(0x80);
  advance_clock_ms(1000);
  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["state"], "COMPLETED");
  EXPECT_EQ((*answer)["updated_at_ms"], now_ms());
  EXPECT_EQ(saves(), 1u);

  spooler.calls.clear();
  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["state"], "COMPLETED");
  EXPECT_TRUE(spooler.calls.empty());
  EXPECT_EQ(watchdogs.labels.size(), 3u);
  EXPECT_EQ(stored_state(on_disk().jobs.at("order-17")), "COMPLETED");
}

TEST_F(JobObservation, FailedSaveIsTheAnswerAndTheNextMessageObservesAgain) {
  job() = job_with_status(0x80);
  store(stored_record("OBSERVED"));
  const std::string before = *files.file(files.path("ledger.json"));
  files.fail("create_file", ACCESS_DENIED_CODE);

  const auto answer = get_job();

  EXPECT_EQ(answer, std::unexpected(error(
                        ErrorCode::STATE_UNAVAILABLE,
                        "Cannot save print-helper state: " + os_error_text(ACCESS_DENIED_CODE))));
  EXPECT_EQ(*files.file(files.path("ledger.json")), before);
  expect_observed_under_one_watchdog();

  const auto again = get_job();
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)["state"], "COMPLETED");
  EXPECT_EQ(stored_state(on_disk().jobs.at("order-17")), "COMPLETED");
}

// ---- Lookup and answer ----------------------------------------------------------------------

TEST_F(JobObservation, UnknownIdentifierIsNotFound) {
  store(stored_record("COMPLETED"));
  const HostError not_found =
      error(ErrorCode::JOB_NOT_FOUND, "No print attempt has that identifier.");
  EXPECT_EQ(get_job("order-18"), std::unexpected(not_found));
  EXPECT_EQ(get_job("Order-17"), std::unexpected(not_found));
  EXPECT_TRUE(watchdogs.labels.empty());
}

TEST_F(JobObservation, AnswerListsNineMembersInByteOrderWithIntegerTimes) {
  JobRecord record = stored_record("FAILED");
  record.created_at_ms = 18'446'744'073'709'551'615u;
  record.error_code = "SUBMISSION_REJECTED";
  record.error_message = "Windows \"said\" no";
  store(record);
  const auto answer = get_job();
  ASSERT_TRUE(answer);
  std::string text;
  append_compact_json(text, *answer);
  EXPECT_EQ(text,
            "{\"created_at_ms\":18446744073709551615,\"error_code\":\"SUBMISSION_REJECTED\","
            "\"error_message\":\"Windows \\\"said\\\" no\",\"intent_id\":\"order-17\","
            "\"os_job_id\":\"42\",\"payload_sha256\":\"" +
                std::string(64, 'a') +
                "\",\"printer\":\"Label Printer\",\"state\":\"FAILED\","
                "\"updated_at_ms\":1699000000000}");
}

// ---- The payload ----------------------------------------------------------------------------

TEST(GetJobPayload, TakesAValidIntentIdAndIgnoresOtherMembers) {
  const std::string longest(160, 'z');
  EXPECT_EQ(read_get_job_intent_id(JsonValue{{"intent_id", longest}}), longest);
  EXPECT_EQ(read_get_job_intent_id(
                JsonValue{{"intent_id", "Az09-.:_"}, {"printer", 7}, {"extra", nullptr}}),
            "Az09-.:_");
}

class GetJobPayloadRefused : public ::testing::TestWithParam<JsonValue> {};

TEST_P(GetJobPayloadRefused, IsABadRequest) {
  EXPECT_EQ(
      read_get_job_intent_id(GetParam()),
      std::unexpected(error(ErrorCode::BAD_REQUEST, "intent_id contains unsupported characters.")));
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
