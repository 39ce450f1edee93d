#include "domain/messages/submit.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/os_error.hpp"
#include "domain/state/host_state.hpp"
#include "domain/submit/base64.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/payload_digest.hpp"
#include "fake_state_files.hpp"
#include "fake_watchdogs.hpp"
#include "protocol/answers.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;
using fakes::FakeWatchdogs;

const std::string CONFLICT_TEXT =
    "This print-attempt identifier was already used for different output.";
const std::string FAILED_TEXT =
    "This attempt already failed. Use a deliberate reprint attempt with a new identifier.";
const std::string UNKNOWN_TEXT =
    "This attempt may already be in the operating-system queue. Use a deliberate reprint attempt "
    "instead of resubmitting it.";
const std::string INVALID_STATE_TEXT = "The stored print attempt has an invalid state.";
const std::string MEDIA_TEXT(MEDIA_UNSUPPORTED_TEXT);
const std::string RETRY_STATE_LOST_PREFIX =
    "The print job was not submitted, but its retry state could not be saved: ";

std::vector<std::uint8_t> label_png(std::uint8_t fill = 0x40) {
  return test_png::write_flat_png(test_png::png_layout(16, 16, 8, PNG_COLOR_TYPE_RGB), fill);
}

SubmitRequest make_request(std::string intent_id = "order-17") {
  SubmitRequest request;
  request.intent_id = std::move(intent_id);
  request.printer = "Label Printer";
  request.title = "Order 17";
  request.copies = 2;
  request.dpi = 203;
  request.payload.format = "png";
  request.payload.base64 = test_png::encode_base64(label_png());
  request.payload.width_px = 16;
  request.payload.height_px = 16;
  return request;
}

std::string digest_of(const SubmitRequest& request) {
  const auto png = decode_base64_strict(request.payload.base64).value();
  return compute_payload_sha256(png, request.printer, request.media, request.dpi, request.copies);
}

HostError error(ErrorCode code, std::string message) {
  return HostError{code, std::move(message)};
}

// "Cannot save print-helper state: " and the OS error of the failed step.
std::string save_error_message(std::uint32_t os_code) {
  return "Cannot save print-helper state: " + os_error_text(os_code);
}

// Draws nothing: answers with the arranged outcome and records what it was asked to draw.
class FakeLabelPrinter final : public LabelPrinter {
 public:
  struct Call {
    std::string printer;
    std::string title;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t dpi;
    std::uint16_t copies;
  };

  PrintOutcome print_label(std::string_view printer, std::string_view title,
                           const LabelBitmap& bitmap, std::uint32_t dpi,
                           std::uint16_t copies) override {
    calls.push_back(
        Call{std::string(printer), std::string(title), bitmap.width, bitmap.height, dpi, copies});
    if (during_print) during_print();
    return outcome;
  }

  PrintOutcome outcome = 4711;
  std::vector<Call> calls;
  // Runs inside the call: inspects or disturbs the state while the job is "printing".
  std::function<void()> during_print;
};

// FakeWatchdogs with a hook that runs at arming, between the two saves of a new attempt, and
// "arm" and "disarm" entries in a journal shared with the file system's calls.
class HookedWatchdogs final : public Watchdogs {
 public:
  explicit HookedWatchdogs(std::vector<std::string>& journal) : journal_(journal) {}

  Result<WatchdogSignal> arm(const char* label) override {
    if (on_arm) on_arm();
    Result<WatchdogSignal> inner_signal = inner.arm(label);
    if (!inner_signal) return inner_signal;
    journal_.push_back("arm");
    return WatchdogSignal(std::make_unique<JournaledChannel>(std::move(*inner_signal), journal_));
  }

  FakeWatchdogs inner;
  std::function<void()> on_arm;

 private:
  class JournaledChannel final : public WatchdogChannel {
   public:
    JournaledChannel(WatchdogSignal inner, std::vector<std::string>& journal)
        : inner_(std::move(inner)), journal_(journal) {}
    ~JournaledChannel() override { complete(); }
    void complete() noexcept override {
      if (!inner_.armed()) return;
      journal_.push_back("disarm");
      inner_.disarm();
    }

   private:
    WatchdogSignal inner_;
    std::vector<std::string>& journal_;
  };

  std::vector<std::string>& journal_;
};

Result<LabelBitmap> undecodable(std::span<const std::uint8_t>) {
  return fail(ErrorCode::BAD_REQUEST, "libpng gave up");
}

class SubmitFlow : public ::testing::Test {
 protected:
  // The state as the message loop opens it for one message: lock taken, ledger loaded and
  // recovered.
  HostState& open() {
    state_.reset();
    state_.emplace(open_host_state(files.store()).value());
    return *state_;
  }

  HostLedger& ledger() { return state_->ledger; }

  // A stored attempt, as if loaded from disk (recovery does not see it, so even "DISPATCHING"
  // stays).
  void store(const JobRecord& record) {
    if (!state_) open();
    ledger().jobs[record.intent_id] = record;
  }

  JobRecord stored_record(const SubmitRequest& request, std::string state_text) {
    JobRecord record;
    record.intent_id = request.intent_id;
    record.payload_sha256 = digest_of(request);
    store_state(record, state_text);
    record.printer = request.printer;
    record.os_job_id = "88";
    record.created_at_ms = now_ms();
    record.updated_at_ms = now_ms();
    return record;
  }

  // handle_submit on the open state (opened now if not yet), then the state is released like
  // the loop does. Calls on the file system are counted from here.
  Result<JsonValue> submit(const SubmitRequest& request) {
    if (!state_) open();
    files.calls.clear();
    SubmitServices services{watchdogs, printer, decoder};
    Result<JsonValue> answer = answer_of(handle_submit(request, *state_, services), submit_result);
    state_.reset();
    return answer;
  }

  // The saves and the watchdog's arming and disarming, in order.
  [[nodiscard]] std::vector<std::string> steps() const {
    std::vector<std::string> steps;
    for (const std::string& call : files.calls) {
      if (call.starts_with("rename_over")) steps.push_back("save");
      if (call == "arm" || call == "disarm") steps.push_back(call);
    }
    return steps;
  }
  [[nodiscard]] bool wrote_anything() const { return !files.calls_of("create_file").empty(); }

  [[nodiscard]] std::optional<HostLedger> on_disk() const {
    const auto bytes = files.file(files.path("ledger.json"));
    if (!bytes) return std::nullopt;
    return decode_ledger(*bytes).value();
  }
  [[nodiscard]] std::optional<JobRecord> record_on_disk(const std::string& intent_id) const {
    const auto ledger = on_disk();
    if (!ledger) return std::nullopt;
    const auto it = ledger->jobs.find(intent_id);
    if (it == ledger->jobs.end()) return std::nullopt;
    return it->second;
  }

  [[nodiscard]] std::uint64_t now_ms() const { return files.now_ms; }
  void advance_clock_ms(std::uint64_t ms) { files.now_ms += ms; }

  // The save after printing fails at its first write step.
  void fail_settling_save(std::uint32_t os_code) {
    watchdogs.on_arm = [this, os_code] { files.fail("create_file", os_code); };
  }

  void expect_armed_once_and_disarmed() const {
    EXPECT_EQ(watchdogs.inner.labels, std::vector<std::string>{"submit"});
    EXPECT_EQ(watchdogs.inner.disarmed, 1);
    EXPECT_EQ(watchdogs.inner.armed_now, 0);
  }
  void expect_never_armed() const { EXPECT_TRUE(watchdogs.inner.labels.empty()); }

  FakeStateFiles files;
  HookedWatchdogs watchdogs{files.calls};
  FakeLabelPrinter printer;
  BitmapDecoder decoder = &decode_label_bitmap;

 private:
  std::optional<HostState> state_;
};

// ---- new attempts

TEST_F(SubmitFlow, NewAttemptIsOnDiskAsDispatchingWhilePrintingUnderTheWatchdog) {
  const std::uint64_t recorded_at = now_ms();
  std::optional<HostLedger> during;
  int armed_during_print = 0;
  printer.during_print = [&] {
    during = on_disk();
    armed_during_print = watchdogs.inner.armed_now;
    advance_clock_ms(1500);
  };

  ASSERT_TRUE(submit(make_request()).has_value());

  ASSERT_TRUE(during.has_value());
  EXPECT_EQ(during->updated_at_ms, recorded_at);
  JobRecord expected;
  expected.intent_id = "order-17";
  expected.payload_sha256 = digest_of(make_request());
  expected.state = AttemptState::DISPATCHING;
  expected.printer = "Label Printer";
  expected.created_at_ms = recorded_at;
  expected.updated_at_ms = recorded_at;
  EXPECT_EQ(during->jobs, (std::map<std::string, JobRecord, std::less<>>{{"order-17", expected}}));
  EXPECT_EQ(armed_during_print, 1);
}

TEST_F(SubmitFlow, SuccessSettlesAsSubmittedAndAnswersTheNewAttempt) {
  const std::uint64_t recorded_at = now_ms();
  printer.during_print = [&] { advance_clock_ms(1500); };

  const auto answer = submit(make_request());

  ASSERT_TRUE(answer.has_value()) << answer.error().message;
  std::string compact;
  append_compact_json(compact, *answer);
  EXPECT_EQ(compact, R"({"duplicate":false,"intent_id":"order-17","os_job_id":"4711",)"
                     R"("printer":"Label Printer","state":"SUBMITTED"})");

  ASSERT_EQ(printer.calls.size(), 1u);
  const auto& call = printer.calls[0];
  EXPECT_EQ(call.printer, "Label Printer");
  EXPECT_EQ(call.title, "Order 17");
  EXPECT_EQ(call.width, 16u);
  EXPECT_EQ(call.height, 16u);
  EXPECT_EQ(call.dpi, 203u);
  EXPECT_EQ(call.copies, 2);
  expect_armed_once_and_disarmed();
  EXPECT_EQ(steps(), (std::vector<std::string>{"save", "arm", "disarm", "save"}));

  const auto record = record_on_disk("order-17");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(stored_state(*record), "SUBMITTED");
  EXPECT_EQ(record->os_job_id, "4711");
  EXPECT_EQ(record->created_at_ms, recorded_at);
  EXPECT_EQ(record->updated_at_ms, recorded_at + 1500);
  EXPECT_EQ(record->error_code, "");
  EXPECT_EQ(record->error_message, "");
  EXPECT_EQ(on_disk()->updated_at_ms, recorded_at + 1500);
}

TEST_F(SubmitFlow, JobNumberIsStoredAndAnsweredAsPlainDecimalDigits) {
  for (const std::uint32_t job : {1u, 10u, 2'147'483'647u}) {
    printer.outcome = job;
    const std::string intent = "job-" + std::to_string(job);
    const auto answer = submit(make_request(intent));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ((*answer)["os_job_id"], std::to_string(job));
    EXPECT_EQ(record_on_disk(intent)->os_job_id, std::to_string(job));
  }
}

TEST_F(SubmitFlow, FailedFirstSaveAnswersPreSubmitUnavailableAndPrintsNothing) {
  for (const char* step : {"create_file", "rename_over"}) {
    SCOPED_TRACE(step);
    files.fail(step, 5u);
    open();
    advance_clock_ms(5);

    const auto answer = submit(make_request());

    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(answer.error(), error(ErrorCode::PRE_SUBMIT_UNAVAILABLE, save_error_message(5u)));
    EXPECT_TRUE(printer.calls.empty());
    expect_never_armed();
    EXPECT_FALSE(files.file(files.path("ledger.json")).has_value());
  }
}

TEST_F(SubmitFlow, FailedArmingPrintsNothingAndForgetsTheAttempt) {
  watchdogs.inner.arm_failure = error(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "no thread");

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), error(ErrorCode::PRE_SUBMIT_UNAVAILABLE, "no thread"));
  EXPECT_TRUE(printer.calls.empty());
  EXPECT_EQ(watchdogs.inner.disarmed, 0);
  EXPECT_TRUE(on_disk()->jobs.empty());
}

// ---- repetitions answered from the ledger

struct StoredStateCase {
  std::string state;
  std::optional<HostError> refusal;  // nullopt: a repetition answered with success
};

void PrintTo(const StoredStateCase& c, std::ostream* out) {
  *out << (c.state.empty() ? "(empty)" : c.state);
}

class SubmitFlowStoredState : public SubmitFlow,
                              public ::testing::WithParamInterface<StoredStateCase> {};

TEST_P(SubmitFlowStoredState, AnswersFromTheLedgerWithoutSavingOrPrinting) {
  const StoredStateCase& c = GetParam();
  SubmitRequest request = make_request();
  JobRecord stored = stored_record(request, c.state);
  stored.os_job_id = c.state == "OBSERVED" ? "" : "88";
  store(stored);
  request.title = "Another title";  // not part of the output

  const auto answer = submit(request);

  if (c.refusal) {
    ASSERT_FALSE(answer.has_value());
    EXPECT_EQ(answer.error(), *c.refusal);
  } else {
    ASSERT_TRUE(answer.has_value()) << answer.error().message;
    EXPECT_EQ(*answer, (JsonValue{{"duplicate", true},
                                  {"intent_id", "order-17"},
                                  {"os_job_id", stored.os_job_id},
                                  {"printer", "Label Printer"},
                                  {"state", c.state}}));
  }
  EXPECT_FALSE(wrote_anything());
  EXPECT_TRUE(printer.calls.empty());
  expect_never_armed();
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, SubmitFlowStoredState,
    ::testing::Values(
        StoredStateCase{"SUBMITTED", std::nullopt}, StoredStateCase{"COMPLETED", std::nullopt},
        StoredStateCase{"OBSERVED", std::nullopt},
        StoredStateCase{"FAILED", error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT)},
        StoredStateCase{"DISPATCHING", error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT)},
        StoredStateCase{"UNKNOWN", error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT)},
        StoredStateCase{"submitted", error(ErrorCode::STATE_CORRUPT, INVALID_STATE_TEXT)},
        StoredStateCase{"HOST_RESTARTED", error(ErrorCode::STATE_CORRUPT, INVALID_STATE_TEXT)},
        StoredStateCase{"", error(ErrorCode::STATE_CORRUPT, INVALID_STATE_TEXT)}));

TEST_F(SubmitFlow, IdenticalSubmitTwiceIsPrintedOnceAndAnsweredAsDuplicate) {
  ASSERT_TRUE(submit(make_request()).has_value());
  const auto bytes_after_first = files.file(files.path("ledger.json"));
  printer.outcome = 9999;  // would show if it printed again

  const auto again = submit(make_request());

  ASSERT_TRUE(again.has_value());
  EXPECT_EQ((*again)["duplicate"], true);
  EXPECT_EQ((*again)["os_job_id"], "4711");
  EXPECT_EQ((*again)["state"], "SUBMITTED");
  EXPECT_EQ(printer.calls.size(), 1u);
  EXPECT_EQ(watchdogs.inner.labels.size(), 1u);
  EXPECT_EQ(files.file(files.path("ledger.json")), bytes_after_first);
}

// ---- conflicts

enum class Change { Copies, Dpi, Png, Printer, Media };

using ConflictCase = std::tuple<std::string, Change>;  // stored state, what the repeat changes

std::string conflict_case_name(const ::testing::TestParamInfo<ConflictCase>& info) {
  static constexpr const char* CHANGES[] = {"copies", "dpi", "png", "printer", "media"};
  return std::get<0>(info.param) + "_" + CHANGES[static_cast<int>(std::get<1>(info.param))];
}

class SubmitFlowConflict : public SubmitFlow, public ::testing::WithParamInterface<ConflictCase> {};

TEST_P(SubmitFlowConflict, DifferentOutputIsAConflictWhateverTheStoredState) {
  const auto& [stored_state, change] = GetParam();
  const SubmitRequest original = make_request();
  const JobRecord stored = stored_record(original, stored_state);
  store(stored);
  SubmitRequest changed = original;
  switch (change) {
    case Change::Copies:
      changed.copies = 3;
      break;
    case Change::Dpi:
      changed.dpi = 300;
      break;
    case Change::Png:
      changed.payload.base64 = test_png::encode_base64(label_png(0x41));
      break;
    case Change::Printer:
      changed.printer = "Label Printer 2";
      break;
    case Change::Media:
      changed.media = "4x6";
      break;
  }

  const auto answer = submit(changed);

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), error(ErrorCode::INTENT_CONFLICT, CONFLICT_TEXT));
  EXPECT_FALSE(wrote_anything());
  EXPECT_TRUE(printer.calls.empty());
  expect_never_armed();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStateAndChange, SubmitFlowConflict,
    ::testing::Combine(::testing::Values("SUBMITTED", "COMPLETED", "OBSERVED", "FAILED",
                                         "DISPATCHING", "UNKNOWN", "BOGUS"),
                       ::testing::Values(Change::Copies, Change::Dpi, Change::Png, Change::Printer,
                                         Change::Media)),
    conflict_case_name);

// The digest runs the queue name and the media token together, so queue "PA" without media and
// queue "P" with media "A" share it; the stored queue tells them apart.
TEST_F(SubmitFlow, QueueThatDiffersFromTheStoredOneIsAConflictEvenWithTheSameDigest) {
  SubmitRequest run_together = make_request();
  run_together.printer = "PA";
  SubmitRequest split = make_request();
  split.printer = "P";
  split.media = "A";
  ASSERT_EQ(digest_of(run_together), digest_of(split));

  store(stored_record(run_together, "SUBMITTED"));
  const auto against_submitted = submit(split);
  ASSERT_FALSE(against_submitted.has_value());
  EXPECT_EQ(against_submitted.error().code, ErrorCode::INTENT_CONFLICT);

  // The other way round, through the flow: "P" with media fails for certain, then "PA".
  SubmitRequest split_new = split;
  split_new.intent_id = "order-18";
  ASSERT_EQ(submit(split_new).error().code, ErrorCode::MEDIA_UNSUPPORTED);
  SubmitRequest run_together_new = run_together;
  run_together_new.intent_id = "order-18";
  const auto against_failed = submit(run_together_new);
  ASSERT_FALSE(against_failed.has_value());
  EXPECT_EQ(against_failed.error(), error(ErrorCode::INTENT_CONFLICT, CONFLICT_TEXT));
  EXPECT_TRUE(printer.calls.empty());
}

// ---- attempts that settle with an error

enum class Fault { Media, Undecodable, Rendering };

struct SettledFailureCase {
  std::string name;
  Fault fault;
  HostError answer;          // the outcome, answered unchanged
  std::string stored_state;  // what the record settles as
  HostError repeat;          // the answer to the same submit afterwards
};

void PrintTo(const SettledFailureCase& c, std::ostream* out) {
  *out << c.name;
}

class SubmitFlowSettledFailure : public SubmitFlow,
                                 public ::testing::WithParamInterface<SettledFailureCase> {};

TEST_P(SubmitFlowSettledFailure, RecordsTheOutcomeAndRefusesTheRepeat) {
  const SettledFailureCase& c = GetParam();
  SubmitRequest request = make_request();
  if (c.fault == Fault::Media) request.media = "4x6";
  if (c.fault == Fault::Undecodable) decoder = &undecodable;
  if (c.fault == Fault::Rendering) {
    const bool unknown = c.stored_state == "UNKNOWN";
    printer.outcome = std::unexpected(
        PrintFailure{unknown ? PrintReach::unknown : PrintReach::refused, c.answer});
  }
  const std::uint64_t recorded_at = now_ms();
  watchdogs.on_arm = [this] { advance_clock_ms(20); };

  const auto answer = submit(request);

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), c.answer);
  EXPECT_EQ(printer.calls.size(), c.fault == Fault::Rendering ? 1u : 0u);
  expect_armed_once_and_disarmed();
  EXPECT_EQ(steps(), (std::vector<std::string>{"save", "arm", "disarm", "save"}));
  const auto record = record_on_disk("order-17");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(stored_state(*record), c.stored_state);
  EXPECT_EQ(record->error_code, error_code_name(c.answer.code));
  EXPECT_EQ(record->error_message, c.answer.message);
  EXPECT_EQ(record->os_job_id, "");
  EXPECT_EQ(record->created_at_ms, recorded_at);
  EXPECT_EQ(record->updated_at_ms, recorded_at + 20);
  EXPECT_EQ(on_disk()->updated_at_ms, recorded_at + 20);

  const auto repeated = submit(request);
  ASSERT_FALSE(repeated.has_value());
  EXPECT_EQ(repeated.error(), c.repeat);
  EXPECT_EQ(watchdogs.inner.labels.size(), 1u);
  EXPECT_EQ(printer.calls.size(), c.fault == Fault::Rendering ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, SubmitFlowSettledFailure,
    ::testing::Values(
        SettledFailureCase{"media_token", Fault::Media,
                           error(ErrorCode::MEDIA_UNSUPPORTED, MEDIA_TEXT), "FAILED",
                           error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT)},
        SettledFailureCase{"second_decoding", Fault::Undecodable,
                           error(ErrorCode::BAD_REQUEST, std::string(UNDECODABLE_TEXT)), "FAILED",
                           error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT)},
        SettledFailureCase{
            "rendering_unknown_outcome", Fault::Rendering,
            error(ErrorCode::UNKNOWN_OUTCOME, "Windows could not finish the label page"), "UNKNOWN",
            error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT)},
        SettledFailureCase{"rendering_rejected", Fault::Rendering,
                           error(ErrorCode::SUBMISSION_REJECTED, "Windows rejected the print job"),
                           "FAILED", error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT)},
        SettledFailureCase{"rendering_media_mismatch", Fault::Rendering,
                           error(ErrorCode::MEDIA_MISMATCH, "does not fit"), "FAILED",
                           error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT)}),
    [](const auto& info) { return info.param.name; });

TEST_F(SubmitFlow, QueueThatCouldNotBeOpenedLeavesNoRecordAndMayBeRetried) {
  const HostError closed = error(ErrorCode::PRE_SUBMIT_UNAVAILABLE, "Windows could not open it");
  printer.outcome = std::unexpected(PrintFailure{PrintReach::nothing, closed});
  watchdogs.on_arm = [this] { advance_clock_ms(20); };
  const std::uint64_t settled_at = now_ms() + 20;

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), closed);
  expect_armed_once_and_disarmed();
  EXPECT_EQ(steps(), (std::vector<std::string>{"save", "arm", "disarm", "save"}));
  EXPECT_TRUE(on_disk()->jobs.empty());
  EXPECT_EQ(on_disk()->updated_at_ms, settled_at);

  printer.outcome = 12;
  const auto retried = submit(make_request());
  ASSERT_TRUE(retried.has_value());
  EXPECT_EQ((*retried)["duplicate"], false);
  EXPECT_EQ((*retried)["os_job_id"], "12");
  EXPECT_EQ(printer.calls.size(), 2u);
}

TEST_F(SubmitFlow, UnsavableRemovalIsAnUnknownOutcomeAndTheRecordStaysDispatching) {
  printer.outcome = std::unexpected(
      PrintFailure{PrintReach::nothing, error(ErrorCode::PRE_SUBMIT_UNAVAILABLE, "closed")});
  fail_settling_save(5u);

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(),
            error(ErrorCode::UNKNOWN_OUTCOME, RETRY_STATE_LOST_PREFIX + save_error_message(5u)));
  EXPECT_EQ(stored_state(*record_on_disk("order-17")), "DISPATCHING");
  expect_armed_once_and_disarmed();
}

struct UnsavedSettlingCase {
  std::string name;
  PrintOutcome rendering;
};

void PrintTo(const UnsavedSettlingCase& c, std::ostream* out) {
  *out << c.name;
}

class SubmitFlowUnsavedSettling : public SubmitFlow,
                                  public ::testing::WithParamInterface<UnsavedSettlingCase> {};

TEST_P(SubmitFlowUnsavedSettling, AnswersTheSaveErrorAndLeavesDispatchingForRecovery) {
  printer.outcome = GetParam().rendering;
  fail_settling_save(33u);

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), error(ErrorCode::STATE_UNAVAILABLE, save_error_message(33u)));
  EXPECT_EQ(stored_state(*record_on_disk("order-17")), "DISPATCHING");
  expect_armed_once_and_disarmed();

  // The next message's recovery makes it UNKNOWN, so a retry is refused, never printed again.
  const auto retried = submit(make_request());
  ASSERT_FALSE(retried.has_value());
  EXPECT_EQ(retried.error(), error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT));
  EXPECT_EQ(printer.calls.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRenderingOutcome, SubmitFlowUnsavedSettling,
    ::testing::Values(
        UnsavedSettlingCase{"printed", 4711},
        UnsavedSettlingCase{
            "unknown", std::unexpected(PrintFailure{PrintReach::unknown,
                                                    error(ErrorCode::UNKNOWN_OUTCOME, "maybe")})},
        UnsavedSettlingCase{
            "rejected", std::unexpected(PrintFailure{
                            PrintReach::refused, error(ErrorCode::SUBMISSION_REJECTED, "no")})}),
    [](const auto& info) { return info.param.name; });

// ---- requests that never reach the ledger

struct RejectedRequestCase {
  std::string name;
  std::function<void(SubmitRequest&)> breakage;
};

void PrintTo(const RejectedRequestCase& c, std::ostream* out) {
  *out << c.name;
}

class SubmitFlowRejected : public SubmitFlow,
                           public ::testing::WithParamInterface<RejectedRequestCase> {};

TEST_P(SubmitFlowRejected, LeavesTheLedgerFileUntouched) {
  ASSERT_TRUE(submit(make_request("earlier")).has_value());
  const auto before = files.file(files.path("ledger.json"));
  printer.calls.clear();
  watchdogs.inner.labels.clear();
  SubmitRequest request = make_request("never-seen");
  GetParam().breakage(request);

  const auto answer = submit(request);

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error().code, ErrorCode::BAD_REQUEST);
  EXPECT_FALSE(wrote_anything());
  EXPECT_EQ(files.file(files.path("ledger.json")), before);
  EXPECT_TRUE(printer.calls.empty());
  expect_never_armed();
}

INSTANTIATE_TEST_SUITE_P(
    ValidationAndVerification, SubmitFlowRejected,
    ::testing::Values(
        RejectedRequestCase{"intent_id", [](SubmitRequest& r) { r.intent_id = "a b"; }},
        RejectedRequestCase{"copies", [](SubmitRequest& r) { r.copies = 11; }},
        RejectedRequestCase{"media", [](SubmitRequest& r) { r.media = "4 x 6"; }},
        RejectedRequestCase{"base64", [](SubmitRequest& r) { r.payload.base64 += "="; }},
        RejectedRequestCase{"not_png", [](SubmitRequest& r) { r.payload.base64 = "AAAA"; }},
        RejectedRequestCase{"declared_size", [](SubmitRequest& r) { r.payload.width_px = 17; }}),
    [](const auto& info) { return info.param.name; });

TEST_F(SubmitFlow, IntentIdsThatDifferOnlyInCaseAreDifferentAttempts) {
  ASSERT_TRUE(submit(make_request("Order-17")).has_value());
  const auto second = submit(make_request("order-17"));

  ASSERT_TRUE(second.has_value());
  EXPECT_EQ((*second)["duplicate"], false);
  EXPECT_EQ(printer.calls.size(), 2u);
  EXPECT_EQ(on_disk()->jobs.size(), 2u);
}

}  // namespace
}  // namespace vantrel
