#include "domain/messages/get_job.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "message_fixture.hpp"

namespace vantrel {
namespace {

constexpr std::uint32_t ACCESS_DENIED_CODE = 5;
constexpr std::uint64_t STORED_AT_MS = 1'699'000'000'000;

HostError error(ErrorCode code, std::string message) {
  return HostError{code, std::move(message)};
}

JobRecord stored_record(std::string state, std::string os_job_id = "42") {
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

class JobObservation : public fakes::MessageFixture {
 protected:
  // A record saved by an earlier message.
  void store(const JobRecord& record) {
    open();
    state_->ledger.jobs[record.intent_id] = record;
    state_->ledger.updated_at_ms = STORED_AT_MS;
    ASSERT_TRUE(state_->save());
    state_.reset();
  }

  // One "get_job" message: state opened, handled, released. Calls are counted from here.
  Result<JobRecord> get_job(std::string_view intent_id = "order-17") {
    open();
    files.calls.clear();
    printing.calls.clear();
    if (after_open) after_open(*state_);
    Result<JobRecord> answer = handle_get_job(intent_id, *state_, printing, watchdogs);
    state_.reset();
    return answer;
  }

  // Runs after the message's state was opened (and recovered), before the handler.
  std::function<void(HostState&)> after_open;
};

// ---- What the print system says and the state it implies ---------------------------------

struct ProgressCase {
  std::string stored;
  JobProgress progress;
  std::string expected;
};

void PrintTo(const ProgressCase& c, std::ostream* out) {
  *out << c.stored << " " << static_cast<int>(c.progress);
}

class JobObservationProgress : public JobObservation,
                               public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(JobObservationProgress, MovesTheRecordAndSavesOnlyAChange) {
  const ProgressCase& c = GetParam();
  printing.progress = c.progress;
  store(stored_record(c.stored));
  advance_clock_ms(1234);

  const auto answer = get_job();

  ASSERT_TRUE(answer) << answer.error().message;
  const bool changed = c.expected != c.stored;
  JobRecord expected = stored_record(c.expected);
  if (changed) expected.updated_at_ms = now_ms();
  EXPECT_EQ(*answer, expected);
  EXPECT_EQ(printing.calls, std::vector<std::string>{"job_progress Label Printer 42"});
  EXPECT_EQ(saves(), changed ? 1u : 0u);
  EXPECT_EQ(on_disk()->jobs.at("order-17"), expected);
  EXPECT_EQ(on_disk()->updated_at_ms, changed ? now_ms() : STORED_AT_MS);
  expect_guarded_once("observe_job");
}

// A job seen before and gone now left the queue unobserved; a "SUBMITTED" job never seen may
// simply have finished before anyone looked. Deleted or failed jobs may have printed first.
INSTANTIATE_TEST_SUITE_P(
    EveryProgress, JobObservationProgress,
    ::testing::Values(ProgressCase{"SUBMITTED", JobProgress::queued, "OBSERVED"},
                      ProgressCase{"OBSERVED", JobProgress::queued, "OBSERVED"},
                      ProgressCase{"SUBMITTED", JobProgress::completed, "COMPLETED"},
                      ProgressCase{"OBSERVED", JobProgress::completed, "COMPLETED"},
                      ProgressCase{"SUBMITTED", JobProgress::deleted, "UNKNOWN"},
                      ProgressCase{"OBSERVED", JobProgress::deleted, "UNKNOWN"},
                      ProgressCase{"SUBMITTED", JobProgress::failed, "UNKNOWN"},
                      ProgressCase{"OBSERVED", JobProgress::failed, "UNKNOWN"},
                      ProgressCase{"SUBMITTED", JobProgress::gone, "SUBMITTED"},
                      ProgressCase{"OBSERVED", JobProgress::gone, "UNKNOWN"},
                      ProgressCase{"SUBMITTED", JobProgress::unknown, "SUBMITTED"},
                      ProgressCase{"OBSERVED", JobProgress::unknown, "OBSERVED"}));

// ---- Records the print system is never asked about ----------------------------------------

class JobObservationSettled : public JobObservation,
                              public ::testing::WithParamInterface<std::string> {};

TEST_P(JobObservationSettled, IsAnsweredAsStoredWithoutPrintSystemOrWatchdog) {
  JobRecord record = stored_record(GetParam());
  record.error_code = "SUBMISSION_REJECTED";
  record.error_message = "no";
  printing.progress = JobProgress::completed;
  // Put in after recovery, which would settle a stored "DISPATCHING" record.
  after_open = [&record](HostState& state) { state.ledger.jobs[record.intent_id] = record; };

  EXPECT_EQ(get_job(), record);
  EXPECT_TRUE(printing.calls.empty());
  EXPECT_TRUE(watchdogs.labels.empty());
  EXPECT_EQ(saves(), 0u);
}

// State words compare exactly: "submitted" is not "SUBMITTED".
INSTANTIATE_TEST_SUITE_P(OtherStates, JobObservationSettled,
                         ::testing::Values("FAILED", "UNKNOWN", "COMPLETED", "DISPATCHING",
                                           "submitted", "OBSERVED "));

// ---- "os_job_id" ---------------------------------------------------------------------------

struct JobIdCase {
  std::string text;
  std::optional<std::uint32_t> number;
};

void PrintTo(const JobIdCase& c, std::ostream* out) {
  *out << '"' << c.text << '"';
}

class JobObservationJobId : public JobObservation,
                            public ::testing::WithParamInterface<JobIdCase> {};

TEST_P(JobObservationJobId, OnlyAnUnsigned32BitNumberReachesThePrintSystem) {
  const JobIdCase& c = GetParam();
  EXPECT_EQ(parse_os_job_id(c.text), c.number);
  printing.progress = JobProgress::queued;
  store(stored_record("SUBMITTED", c.text));

  const auto answer = get_job();

  ASSERT_TRUE(answer);
  if (c.number) {
    EXPECT_EQ(stored_state(*answer), "OBSERVED");
    EXPECT_EQ(printing.calls,
              std::vector<std::string>{"job_progress Label Printer " + std::to_string(*c.number)});
  } else {
    EXPECT_EQ(*answer, stored_record("SUBMITTED", c.text));
    EXPECT_TRUE(printing.calls.empty());
    EXPECT_EQ(saves(), 0u);
  }
  expect_guarded_once("observe_job");
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

TEST_F(JobObservation, FailedArmingLeavesThePrintSystemAlone) {
  watchdogs.arm_failure = error(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "no thread");
  printing.progress = JobProgress::completed;
  store(stored_record("OBSERVED"));
  EXPECT_EQ(get_job(), stored_record("OBSERVED"));
  EXPECT_TRUE(printing.calls.empty());
  EXPECT_EQ(saves(), 0u);
}

// ---- Saving --------------------------------------------------------------------------------

TEST_F(JobObservation, FollowsAJobThroughTheQueueSavingOnlyChanges) {
  printing.progress = JobProgress::queued;
  store(stored_record("SUBMITTED"));

  advance_clock_ms(1000);
  const std::uint64_t observed_at = now_ms();
  auto answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ(stored_state(*answer), "OBSERVED");
  EXPECT_EQ(answer->updated_at_ms, observed_at);
  EXPECT_EQ(saves(), 1u);

  advance_clock_ms(1000);
  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->updated_at_ms, observed_at);
  EXPECT_EQ(saves(), 0u);
  EXPECT_EQ(on_disk()->updated_at_ms, observed_at);

  printing.progress = JobProgress::completed;
  advance_clock_ms(1000);
  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ(stored_state(*answer), "COMPLETED");
  EXPECT_EQ(answer->updated_at_ms, now_ms());
  EXPECT_EQ(saves(), 1u);

  answer = get_job();
  ASSERT_TRUE(answer);
  EXPECT_EQ(stored_state(*answer), "COMPLETED");
  EXPECT_TRUE(printing.calls.empty());
  EXPECT_EQ(watchdogs.labels.size(), 3u);
  EXPECT_EQ(stored_state(on_disk()->jobs.at("order-17")), "COMPLETED");
}

TEST_F(JobObservation, FailedSaveIsTheAnswerAndTheNextMessageObservesAgain) {
  printing.progress = JobProgress::completed;
  store(stored_record("OBSERVED"));
  const std::string before = *files.file(files.path("ledger.json"));
  files.fail("create_file", ACCESS_DENIED_CODE);

  EXPECT_EQ(get_job(), std::unexpected(error(ErrorCode::STATE_UNAVAILABLE,
                                             "Cannot save print-helper state: " +
                                                 os_error_text(ACCESS_DENIED_CODE))));
  EXPECT_EQ(*files.file(files.path("ledger.json")), before);
  expect_guarded_once("observe_job");

  const auto again = get_job();
  ASSERT_TRUE(again);
  EXPECT_EQ(stored_state(*again), "COMPLETED");
  EXPECT_EQ(stored_state(on_disk()->jobs.at("order-17")), "COMPLETED");
}

// ---- Lookup --------------------------------------------------------------------------------

TEST_F(JobObservation, UnknownIdentifierIsNotFoundAndIdentifiersAreCaseSensitive) {
  store(stored_record("COMPLETED"));
  const HostError not_found =
      error(ErrorCode::JOB_NOT_FOUND, "No print attempt has that identifier.");
  EXPECT_EQ(get_job("order-18"), std::unexpected(not_found));
  EXPECT_EQ(get_job("Order-17"), std::unexpected(not_found));
  EXPECT_TRUE(watchdogs.labels.empty());
}

}  // namespace
}  // namespace vantrel
