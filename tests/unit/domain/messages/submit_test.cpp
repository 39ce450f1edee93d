#include "domain/messages/submit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/os_error.hpp"
#include "domain/state/host_state.hpp"
#include "domain/submit/base64.hpp"
#include "domain/submit/payload_digest.hpp"
#include "message_fixture.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

using fakes::FakePrintSystem;

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

Result<LabelBitmap> undecodable(std::span<const std::uint8_t>) {
  return fail(ErrorCode::BAD_REQUEST, "libpng gave up");
}

class SubmitFlow : public fakes::MessageFixture {
 protected:
  SubmitFlow() {
    // Every call of the print system runs under the armed watchdog and no file call does: the
    // attempt is saved before the guarded stretch and settled after it.
    on_print_call = [this](std::string_view call) {
      if (call == "open_label_document" && on_print) on_print();
    };
    files.plan().hook = [this](std::string_view) {
      if (watchdogs.armed_now != 0) ++file_calls_inside_watchdog;
    };
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
  Result<SubmitAnswer> submit(const SubmitRequest& request) {
    if (!state_) open();
    files.calls.clear();
    SubmitServices services{printing, watchdogs, decoder};
    Result<SubmitAnswer> answer = handle_submit(request, *state_, services);
    state_.reset();
    return answer;
  }

  [[nodiscard]] bool wrote_anything() const { return !files.calls_of("create_file").empty(); }
  [[nodiscard]] std::size_t documents_opened() const {
    return std::ranges::count_if(printing.calls, [](const std::string& call) {
      return call.starts_with("open_label_document");
    });
  }

  [[nodiscard]] std::optional<JobRecord> record_on_disk(const std::string& intent_id) const {
    const auto ledger = on_disk();
    if (!ledger) return std::nullopt;
    const auto it = ledger->jobs.find(intent_id);
    if (it == ledger->jobs.end()) return std::nullopt;
    return it->second;
  }

  void expect_armed_once_and_disarmed() const {
    expect_guarded_once("submit");
    EXPECT_EQ(file_calls_inside_watchdog, 0);
  }
  void expect_never_armed() const { EXPECT_TRUE(watchdogs.labels.empty()); }

  BitmapDecoder decoder = &decode_label_bitmap;
  // Runs when the label's document is opened: the attempt is with the print system.
  std::function<void()> on_print;
  int file_calls_inside_watchdog = 0;
};

// The submit flow over a table of cases, one run per row.
template <class Case>
class SubmitFlowWith : public SubmitFlow, public ::testing::WithParamInterface<Case> {};

// A case with a name prints as it.
template <class Case>
requires requires(const Case& c) {
  std::string_view(c.name);
}
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

// ---- new attempts

TEST_F(SubmitFlow, NewAttemptIsDurableAsDispatchingBeforePrintingThenSettlesAsSubmitted) {
  const std::uint64_t recorded_at = now_ms();
  std::optional<HostLedger> during;
  on_print = [&] { during = on_disk(); };
  watchdogs.on_arm = [&] { advance_clock_ms(1500); };
  printing.next_job = 4'294'967'295;  // stored and answered as plain decimal digits

  const auto answer = submit(make_request());

  ASSERT_TRUE(answer.has_value()) << answer.error().message;
  JobRecord expected;
  expected.intent_id = "order-17";
  expected.payload_sha256 = digest_of(make_request());
  expected.state = AttemptState::DISPATCHING;
  expected.printer = "Label Printer";
  expected.created_at_ms = recorded_at;
  expected.updated_at_ms = recorded_at;
  ASSERT_TRUE(during.has_value());
  EXPECT_EQ(during->updated_at_ms, recorded_at);
  EXPECT_EQ(during->jobs, (std::map<std::string, JobRecord, std::less<>>{{"order-17", expected}}));

  expected.state = AttemptState::SUBMITTED;
  expected.os_job_id = "4294967295";
  expected.updated_at_ms = recorded_at + 1500;
  EXPECT_FALSE(answer->duplicate);
  EXPECT_EQ(answer->record, expected);
  EXPECT_EQ(record_on_disk("order-17"), expected);
  EXPECT_EQ(on_disk()->updated_at_ms, recorded_at + 1500);
  EXPECT_EQ(saves(), 2u);
  expect_armed_once_and_disarmed();

  // The decoded label on the request's queue under its title, a page per copy at its physical
  // size: 16 pixels at 203 dpi are 16 device pixels of the 203 dpi page, centred.
  ASSERT_EQ(printing.documents.size(), 1u);
  const LabelPlacement centred{398, 601, 16, 16};
  EXPECT_EQ(printing.documents[0].queue, "Label Printer");
  EXPECT_EQ(printing.documents[0].title, "Order 17");
  EXPECT_EQ(printing.documents[0].pages, (std::vector<LabelPlacement>{centred, centred}));
}

TEST_F(SubmitFlow, MediaNameSelectsTheQueuesMediaOfThatSizeForTheDocument) {
  printing.details["Label Printer"].media = {{"custom_4x4in", {101'600, 101'600}, {}}};
  SubmitRequest request = make_request();
  request.media = "oe_4x4-label_4x4in";  // another name of the same size
  ASSERT_TRUE(submit(request).has_value());
  ASSERT_EQ(printing.documents.size(), 1u);
  EXPECT_EQ(printing.documents[0].media, "oe_4x4-label_4x4in");
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
    EXPECT_TRUE(printing.calls.empty());
    expect_never_armed();
    EXPECT_FALSE(files.file(files.path("ledger.json")).has_value());
  }
}

TEST_F(SubmitFlow, FailedArmingPrintsNothingAndForgetsTheAttempt) {
  watchdogs.arm_failure = error(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "no thread");

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), error(ErrorCode::PRE_SUBMIT_UNAVAILABLE, "no thread"));
  EXPECT_TRUE(printing.calls.empty());
  EXPECT_EQ(watchdogs.disarmed, 0);
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

using SubmitFlowStoredState = SubmitFlowWith<StoredStateCase>;

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
    EXPECT_TRUE(answer->duplicate);
    EXPECT_EQ(answer->record, stored);
  }
  EXPECT_FALSE(wrote_anything());
  EXPECT_TRUE(printing.calls.empty());
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

  const auto again = submit(make_request());

  ASSERT_TRUE(again.has_value());
  EXPECT_TRUE(again->duplicate);
  EXPECT_EQ(again->record.os_job_id, "7");
  EXPECT_EQ(stored_state(again->record), "SUBMITTED");
  EXPECT_EQ(printing.printed, (std::map<std::string, int>{{"Order 17", 1}}));
  EXPECT_EQ(watchdogs.labels.size(), 1u);
  EXPECT_EQ(files.file(files.path("ledger.json")), bytes_after_first);
}

// ---- conflicts

enum class Change { Copies, Dpi, Png, Printer, Media };

using ConflictCase = std::tuple<std::string, Change>;  // stored state, what the repeat changes

std::string conflict_case_name(const ::testing::TestParamInfo<ConflictCase>& info) {
  static constexpr const char* CHANGES[] = {"copies", "dpi", "png", "printer", "media"};
  return std::get<0>(info.param) + "_" + CHANGES[static_cast<int>(std::get<1>(info.param))];
}

// The digest covers every printed input and is compared before the stored state is looked at:
// each state once, and each change at least once, are enough.
using SubmitFlowConflict = SubmitFlowWith<ConflictCase>;

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

  // The conflict names the stored state: whether the intent's label printed is the caller's
  // next question.
  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), (HostError{ErrorCode::INTENT_CONFLICT, CONFLICT_TEXT, stored_state}));
  EXPECT_FALSE(wrote_anything());
  EXPECT_TRUE(printing.calls.empty());
  expect_never_armed();
}

INSTANTIATE_TEST_SUITE_P(EveryStateAndEveryChange, SubmitFlowConflict,
                         ::testing::Values(ConflictCase{"SUBMITTED", Change::Copies},
                                           ConflictCase{"COMPLETED", Change::Dpi},
                                           ConflictCase{"OBSERVED", Change::Png},
                                           ConflictCase{"FAILED", Change::Printer},
                                           ConflictCase{"DISPATCHING", Change::Media},
                                           ConflictCase{"UNKNOWN", Change::Copies},
                                           ConflictCase{"BOGUS", Change::Png}),
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
  EXPECT_EQ(against_failed.error(),
            (HostError{ErrorCode::INTENT_CONFLICT, CONFLICT_TEXT, "FAILED"}));
  EXPECT_TRUE(printing.calls.empty());
}

// ---- attempts that settle with an error

const MediaSize FOUR_BY_FOUR{101'600, 101'600};

struct SettledFailureCase {
  std::string name;
  std::function<void(SubmitRequest&, BitmapDecoder&, FakePrintSystem&)> arrange;
  HostError answer;          // the outcome, answered unchanged
  std::string stored_state;  // what the record settles as
  HostError repeat;          // the answer to the same submit afterwards
  bool reached_print_system;
};

using SubmitFlowSettledFailure = SubmitFlowWith<SettledFailureCase>;

TEST_P(SubmitFlowSettledFailure, RecordsTheOutcomeAndRefusesTheRepeat) {
  const SettledFailureCase& c = GetParam();
  SubmitRequest request = make_request();
  c.arrange(request, decoder, printing);
  const std::uint64_t recorded_at = now_ms();
  watchdogs.on_arm = [this] { advance_clock_ms(20); };

  const auto answer = submit(request);

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), c.answer);
  EXPECT_EQ(documents_opened(), c.reached_print_system ? 1u : 0u);
  EXPECT_TRUE(printing.printed.empty());
  expect_armed_once_and_disarmed();
  EXPECT_EQ(saves(), 2u);
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
  EXPECT_EQ(watchdogs.labels.size(), 1u);
  EXPECT_EQ(documents_opened(), c.reached_print_system ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, SubmitFlowSettledFailure,
    ::testing::Values(
        SettledFailureCase{
            "media_token",
            [](SubmitRequest& r, BitmapDecoder&, FakePrintSystem&) { r.media = "4x6"; },
            error(ErrorCode::MEDIA_UNSUPPORTED, MEDIA_TEXT), "FAILED",
            error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), false},
        // A media name whose size the queue lacks, or whose selection its driver ignores.
        SettledFailureCase{"media_not_offered",
                           [](SubmitRequest& r, BitmapDecoder&, FakePrintSystem&) {
                             r.media = "iso_a6_105x148mm";
                           },
                           media_not_offered({"iso_a6_105x148mm", {105'000, 148'000}}).error,
                           "FAILED", error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), true},
        SettledFailureCase{
            "media_not_applied",
            [](SubmitRequest& r, BitmapDecoder&, FakePrintSystem& p) {
              r.media = "custom_4x4in";
              p.details["Label Printer"].media = {{"custom_4x4in", FOUR_BY_FOUR, {}}};
              p.page_regardless = MediaSize{101'600, 152'400};
            },
            media_not_applied({"custom_4x4in", FOUR_BY_FOUR}, {101'600, 152'400}).error, "FAILED",
            error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), true},
        SettledFailureCase{
            "second_decoding",
            [](SubmitRequest&, BitmapDecoder& d, FakePrintSystem&) { d = &undecodable; },
            error(ErrorCode::BAD_REQUEST, std::string(UNDECODABLE_TEXT)), "FAILED",
            error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), false},
        SettledFailureCase{"label_does_not_fit",
                           [](SubmitRequest&, BitmapDecoder&, FakePrintSystem& p) {
                             p.area = {203, 203, 8, 8};
                           },
                           error(ErrorCode::MEDIA_MISMATCH, "The label does not fit"), "FAILED",
                           error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), true},
        SettledFailureCase{
            "rejected", [](SubmitRequest&, BitmapDecoder&, FakePrintSystem& p) { p.fail("begin"); },
            error(ErrorCode::SUBMISSION_REJECTED, "The job was rejected"), "FAILED",
            error(ErrorCode::ATTEMPT_FAILED, FAILED_TEXT), true},
        SettledFailureCase{
            "unknown_outcome",
            [](SubmitRequest&, BitmapDecoder&, FakePrintSystem& p) { p.fail("draw_page"); },
            error(ErrorCode::UNKNOWN_OUTCOME, "The page was lost"), "UNKNOWN",
            error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT), true}),
    [](const auto& info) { return info.param.name; });

TEST_F(SubmitFlow, QueueThatCouldNotBeOpenedLeavesNoRecordAndMayBeRetried) {
  printing.fail("open_label_document");
  watchdogs.on_arm = [this] { advance_clock_ms(20); };
  const std::uint64_t settled_at = now_ms() + 20;

  const auto answer = submit(make_request());

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error(), printing.failures.at("open_label_document").error);
  expect_armed_once_and_disarmed();
  EXPECT_EQ(saves(), 2u);
  EXPECT_TRUE(on_disk()->jobs.empty());
  EXPECT_EQ(on_disk()->updated_at_ms, settled_at);

  const auto retried = submit(make_request());
  ASSERT_TRUE(retried.has_value());
  EXPECT_FALSE(retried->duplicate);
  EXPECT_EQ(retried->record.os_job_id, "7");
  EXPECT_EQ(printing.printed, (std::map<std::string, int>{{"Order 17", 1}}));
}

// The save after printing fails. Whatever printing did, the record stays DISPATCHING for the
// next message's recovery to make UNKNOWN, so that a retry is refused, never printed again.
struct UnsavedSettlingCase {
  std::string name;
  const char* failing_step;  // nullptr: printed
};

using SubmitFlowUnsavedSettling = SubmitFlowWith<UnsavedSettlingCase>;

TEST_P(SubmitFlowUnsavedSettling, AnswersTheSaveErrorAndLeavesDispatchingForRecovery) {
  const char* step = GetParam().failing_step;
  if (step != nullptr) printing.fail(step);
  watchdogs.on_arm = [this] { files.fail("create_file", 33u); };

  const auto answer = submit(make_request());

  // An attempt that reached nothing would have been forgotten: that it was not is the news.
  const bool reached_nothing = step != nullptr && std::string_view(step) == "open_label_document";
  EXPECT_EQ(answer,
            std::unexpected(reached_nothing
                                ? error(ErrorCode::UNKNOWN_OUTCOME,
                                        RETRY_STATE_LOST_PREFIX + save_error_message(33u))
                                : error(ErrorCode::STATE_UNAVAILABLE, save_error_message(33u))));
  EXPECT_EQ(stored_state(*record_on_disk("order-17")), "DISPATCHING");
  expect_armed_once_and_disarmed();

  const auto retried = submit(make_request());
  EXPECT_EQ(retried, std::unexpected(error(ErrorCode::UNKNOWN_OUTCOME, UNKNOWN_TEXT)));
  EXPECT_EQ(documents_opened(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryPrintingOutcome, SubmitFlowUnsavedSettling,
                         ::testing::Values(UnsavedSettlingCase{"printed", nullptr},
                                           UnsavedSettlingCase{"unknown", "end"},
                                           UnsavedSettlingCase{"rejected", "begin"},
                                           UnsavedSettlingCase{"reached_nothing",
                                                               "open_label_document"}),
                         [](const auto& info) { return info.param.name; });

// ---- requests that never reach the ledger (one row per step; each step's rules have tests of
// their own)

struct RejectedRequestCase {
  std::string name;
  std::function<void(SubmitRequest&)> breakage;
};

using SubmitFlowRejected = SubmitFlowWith<RejectedRequestCase>;

TEST_P(SubmitFlowRejected, LeavesTheLedgerFileUntouched) {
  ASSERT_TRUE(submit(make_request("earlier")).has_value());
  const auto before = files.file(files.path("ledger.json"));
  printing.calls.clear();
  watchdogs.labels.clear();
  SubmitRequest request = make_request("never-seen");
  GetParam().breakage(request);

  const auto answer = submit(request);

  ASSERT_FALSE(answer.has_value());
  EXPECT_EQ(answer.error().code, ErrorCode::BAD_REQUEST);
  EXPECT_FALSE(wrote_anything());
  EXPECT_EQ(files.file(files.path("ledger.json")), before);
  EXPECT_TRUE(printing.calls.empty());
  expect_never_armed();
}

INSTANTIATE_TEST_SUITE_P(
    ValidationAndVerification, SubmitFlowRejected,
    ::testing::Values(RejectedRequestCase{"validation", [](SubmitRequest& r) { r.copies = 11; }},
                      RejectedRequestCase{"verification",
                                          [](SubmitRequest& r) { r.payload.base64 = "AAAA"; }}),
    [](const auto& info) { return info.param.name; });

TEST_F(SubmitFlow, IntentIdsThatDifferOnlyInCaseAreDifferentAttempts) {
  ASSERT_TRUE(submit(make_request("Order-17")).has_value());
  const auto second = submit(make_request("order-17"));

  ASSERT_TRUE(second.has_value());
  EXPECT_FALSE(second->duplicate);
  EXPECT_EQ(printing.printed, (std::map<std::string, int>{{"Order 17", 2}}));
  EXPECT_EQ(on_disk()->jobs.size(), 2u);
}

// ---- printer-language labels

// A 4 x 6 in ZPL label at 203 dpi.
const std::string ZPL_4X6 = "^XA^PW812^LL1218^FO50,50^FDOrder 17^FS^XZ";

SubmitRequest raw_request(const std::string& label, std::string format = "zpl") {
  SubmitRequest request = make_request();
  request.payload =
      RasterPayload{std::move(format), test_png::encode_base64({label.begin(), label.end()}), 0, 0};
  return request;
}

std::string printed_bytes(const FakePrintSystem::Document& document) {
  return {document.bytes.begin(), document.bytes.end()};
}

TEST_F(SubmitFlow, RawLabelIsRecordedThenSentUnchangedOncePerCopyAndARepeatPrintsNothing) {
  std::optional<HostLedger> during;
  printing.script = [&](std::string_view step, const FakePrintSystem::Document&) {
    if (step == "begin") during = on_disk();
    return std::optional<PrintFailure>();
  };
  const SubmitRequest request = raw_request(ZPL_4X6);

  const auto answer = submit(request);

  ASSERT_TRUE(answer.has_value()) << answer.error().message;
  EXPECT_EQ(answer->geometry, LabelGeometry::checked);
  EXPECT_EQ(answer->record.state, AttemptState::SUBMITTED);
  EXPECT_EQ(
      answer->record.payload_sha256,
      compute_raw_payload_sha256(
          "zpl", std::span(reinterpret_cast<const std::uint8_t*>(ZPL_4X6.data()), ZPL_4X6.size()),
          "Label Printer", std::nullopt, 203, 2, false));
  ASSERT_TRUE(during.has_value());
  EXPECT_EQ(during->jobs.at("order-17").state, AttemptState::DISPATCHING);
  ASSERT_EQ(printing.documents.size(), 1u);
  EXPECT_TRUE(printing.documents[0].raw);
  EXPECT_EQ(printed_bytes(printing.documents[0]), ZPL_4X6 + ZPL_4X6);
  EXPECT_EQ(printing.documents[0].writes, 2u);
  EXPECT_EQ(file_calls_inside_watchdog, 0);
  EXPECT_EQ(print_calls_outside_watchdog, 0);

  const auto repeated = submit(request);
  ASSERT_TRUE(repeated.has_value());
  EXPECT_TRUE(repeated->duplicate);
  EXPECT_EQ(repeated->geometry, LabelGeometry::checked);
  EXPECT_EQ(printing.documents.size(), 1u);
  // The same intent as a PNG, or as EPL, is other output.
  EXPECT_EQ(submit(make_request()).error().code, ErrorCode::INTENT_CONFLICT);
  EXPECT_EQ(submit(raw_request(ZPL_4X6, "epl")).error().code, ErrorCode::INTENT_CONFLICT);
}

struct RawCase {
  const char* name;
  std::string label;
  std::function<void(SubmitRequest&, FakePrintSystem&)> setup;
  std::optional<ErrorCode> refusal;
  std::optional<AttemptState> recorded;  // nullopt: nothing on disk
  std::string printed;                   // the bytes of an ended document
};

using SubmitFlowRaw = SubmitFlowWith<RawCase>;

TEST_P(SubmitFlowRaw, RefusesOrPrintsAndRecordsAsAPngWould) {
  const RawCase& c = GetParam();
  SubmitRequest request = raw_request(c.label);
  request.copies = 1;
  if (c.setup) c.setup(request, printing);

  const auto answer = submit(request);

  EXPECT_EQ(answer.has_value() ? std::nullopt : std::optional(answer.error().code), c.refusal)
      << (answer ? "" : answer.error().message);
  const auto record = record_on_disk("order-17");
  EXPECT_EQ(record ? std::optional(record->state) : std::nullopt, c.recorded);
  std::string printed;
  for (const auto& document : printing.documents) {
    if (document.ended) printed += printed_bytes(document);
  }
  EXPECT_EQ(printed, c.printed);
  // A refusal for good is answered again from the ledger.
  if (c.recorded == AttemptState::FAILED) {
    EXPECT_EQ(submit(request).error().code, ErrorCode::ATTEMPT_FAILED);
  }
}

const auto ALLOWED = [](SubmitRequest& r, FakePrintSystem&) { r.printer_settings_allowed = true; };

INSTANTIATE_TEST_SUITE_P(
    Cases, SubmitFlowRaw,
    ::testing::Values(
        RawCase{"SettingsCommandRefusedBeforeAnythingIsRecorded", "^XA^JUS^XZ", nullptr,
                ErrorCode::BAD_REQUEST, std::nullopt, ""},
        RawCase{"SettingsCommandAllowed", "^XA^JUS^XZ", ALLOWED, std::nullopt,
                AttemptState::SUBMITTED, "^XA^JUS^XZ"},
        RawCase{"QueueTakingNoRawRefusedBeforeAnythingIsRecorded", ZPL_4X6,
                [](SubmitRequest&, FakePrintSystem& p) { p.fail("open_raw_document"); },
                ErrorCode::SUBMISSION_REJECTED, std::nullopt, ""},
        RawCase{"WrittenForAnotherResolution", ZPL_4X6,
                [](SubmitRequest&, FakePrintSystem& p) {
                  p.raw_page.resolutions = {{300, 300}};
                },
                ErrorCode::MEDIA_MISMATCH, AttemptState::FAILED, ""},
        RawCase{"LargerThanTheNamedMedia", ZPL_4X6,
                [](SubmitRequest& r, FakePrintSystem& p) {
                  p.details["Label Printer"].media = {{"custom_4x2in", {101'600, 50'800}, {}}};
                  r.media = "custom_4x2in";
                },
                ErrorCode::MEDIA_MISMATCH, AttemptState::FAILED, ""},
        RawCase{"MediaTheQueueLacks", ZPL_4X6,
                [](SubmitRequest& r, FakePrintSystem&) { r.media = "custom_4x2in"; },
                ErrorCode::MEDIA_UNSUPPORTED, AttemptState::FAILED, ""},
        RawCase{"UndeclaredPrintsWithoutAPaper", "^XA^FDx^FS^XZ",
                [](SubmitRequest&, FakePrintSystem& p) { p.raw_page.size.reset(); }, std::nullopt,
                AttemptState::SUBMITTED, "^XA^FDx^FS^XZ"},
        RawCase{"BytesLostOnTheWay", ZPL_4X6,
                [](SubmitRequest&, FakePrintSystem& p) { p.fail("write"); },
                ErrorCode::UNKNOWN_OUTCOME, AttemptState::UNKNOWN, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
