#include "domain/printing/cups/cups_print_system.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/os_error.hpp"
#include "domain/messages/get_job.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/state/ledger.hpp"

namespace vantrel {
namespace {

CupsReply answer(std::uint32_t status, std::string text = "refused") {
  return CupsReply{true, status, std::move(text), 0};
}
CupsReply no_answer() {
  return CupsReply{false, 0, "", 110};
}

constexpr std::uint32_t IPP_FORBIDDEN = 0x0401;
constexpr std::uint32_t IPP_DOCUMENT_FORMAT_ERROR = 0x040B;

// A scheduler that answers whatever the test sets up and records what it was asked.
class FakeCupsCalls final : public CupsCalls {
 public:
  std::optional<CupsReply> connect_failure;
  std::expected<std::vector<CupsPrinterRecord>, CupsReply> printers;
  std::map<std::string, std::expected<CupsQueueDescription, CupsReply>, std::less<>> queues;
  std::expected<std::uint32_t, CupsReply> created = 42u;
  CupsReply sent = answer(0);
  CupsReply cancelled = answer(0);
  std::expected<int, CupsReply> state = 9;

  std::vector<std::string> calls;
  std::vector<CupsOption> job_options;
  std::string job_title;
  std::string pdf;
  int connections = 0;
  int closed = 0;

  std::expected<CupsConnection, CupsReply> connect(std::chrono::steady_clock::time_point) override {
    if (connect_failure) return std::unexpected(*connect_failure);
    ++connections;
    return CupsConnection(this, CloseCupsConnectionCall{this});
  }
  std::expected<std::vector<CupsPrinterRecord>, CupsReply> get_printers(
      const CupsConnection&) override {
    return printers;
  }
  std::string default_destination(const CupsConnection&) override { return "Zebra"; }
  std::expected<CupsQueueDescription, CupsReply> describe_queue(const CupsConnection&,
                                                                std::string_view queue) override {
    const auto found = queues.find(queue);
    if (found == queues.end()) return std::unexpected(answer(IPP_STATUS_NOT_FOUND));
    return found->second;
  }
  std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection&, std::string_view, std::string_view title,
      const std::vector<CupsOption>& options) override {
    calls.emplace_back("create_job");
    job_title = title;
    job_options = options;
    return created;
  }
  CupsReply send_document(const CupsConnection&, std::string_view, std::uint32_t,
                          std::span<const std::uint8_t> document) override {
    calls.emplace_back("send_document");
    pdf.assign(document.begin(), document.end());
    return sent;
  }
  CupsReply cancel_job(const CupsConnection&, std::string_view, std::uint32_t job_id) override {
    calls.push_back("cancel_job " + std::to_string(job_id));
    return cancelled;
  }
  std::expected<int, CupsReply> job_state(const CupsConnection&, std::string_view,
                                          std::uint32_t) override {
    return state;
  }
  void close_connection(void*) noexcept override { ++closed; }
};

// A 4 x 6 inch label queue at 203 dpi; inches in hundredths of a millimetre.
CupsQueueDescription label_queue() {
  CupsQueueDescription queue;
  queue.accepting_jobs = true;
  queue.default_media = CupsMedia{"oe_4x6-label_4x6in", 10160, 15240, 0, 0, 0, 0};
  queue.resolution_x = 203;
  queue.resolution_y = 203;
  return queue;
}

LabelBitmap white_bitmap(std::uint32_t width, std::uint32_t height) {
  LabelBitmap bitmap{width, height, std::make_unique<std::uint8_t[]>(4u * width * height)};
  std::memset(bitmap.pixels.get(), 0xFF, bitmap.size_bytes());
  return bitmap;
}

// A 2 x 3 inch label at 203 dpi.
PrintOutcome print_label(FakeCupsCalls& calls, std::uint16_t copies = 1) {
  CupsPrintSystem system(calls);
  return vantrel::print_label(system, "Zebra", "Order 7", white_bitmap(406, 609), 203, copies);
}

std::size_t count_of(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

struct StateCase {
  const char* name;
  CupsPrinterRecord printer;
  PrintQueueState expected;
};

class CupsQueueState : public ::testing::TestWithParam<StateCase> {};

TEST_P(CupsQueueState, FirstMatchingRuleWins) {
  EXPECT_EQ(print_queue_state_from_printer(GetParam().printer), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CupsQueueState,
    ::testing::Values(
        StateCase{"RejectingBeatsOffline",
                  {"q", 3, false, {"offline-report"}},
                  PrintQueueState::unavailable},
        StateCase{
            "NoStateIsUnavailable", {"q", std::nullopt, true, {}}, PrintQueueState::unavailable},
        StateCase{"OfflineBeatsError",
                  {"q", 3, true, {"media-empty-error", "offline-report"}},
                  PrintQueueState::offline},
        StateCase{
            "SuffixlessDeviceReasonIsError", {"q", 3, true, {"media-jam"}}, PrintQueueState::error},
        StateCase{"ErrorBeatsStopped",
                  {"q", 5, true, {"paused", "door-open-error"}},
                  PrintQueueState::error},
        StateCase{"StoppedIsPaused", {"q", 5, true, {"paused"}}, PrintQueueState::paused},
        StateCase{"WarningsLeaveItPrinting",
                  {"q", 4, true, {"media-low-warning"}},
                  PrintQueueState::printing},
        StateCase{"IdleWithNone", {"q", 3, true, {"none"}}, PrintQueueState::idle}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CupsQueues, SchedulerWithoutQueuesAnswersNotFoundWhichIsAnEmptyList) {
  FakeCupsCalls calls;
  calls.printers = std::unexpected(answer(IPP_STATUS_NOT_FOUND));
  CupsPrintSystem system(calls);
  const auto queues = system.queues();
  ASSERT_TRUE(queues.has_value());
  EXPECT_TRUE(queues->empty());
  EXPECT_EQ(calls.closed, calls.connections);
}

TEST(CupsQueues, NoAnswerIsUnavailableWithTheSystemsErrorText) {
  FakeCupsCalls calls;
  calls.printers = std::unexpected(no_answer());
  CupsPrintSystem system(calls);
  const auto queues = system.queues();
  ASSERT_FALSE(queues.has_value());
  EXPECT_EQ(queues.error().code, ErrorCode::PRINT_SYSTEM_UNAVAILABLE);
  EXPECT_EQ(queues.error().message,
            "The print system could not list its print queues: " + os_error_text(110));
}

TEST(CupsJobs, JobStateDecidesAndAPurgedJobIsGone) {
  FakeCupsCalls calls;
  CupsPrintSystem system(calls);
  const std::pair<int, JobProgress> cases[] = {
      {3, JobProgress::queued},  {4, JobProgress::queued}, {6, JobProgress::queued},
      {7, JobProgress::deleted}, {8, JobProgress::failed}, {9, JobProgress::completed}};
  for (const auto& [state, progress] : cases) {
    calls.state = state;
    EXPECT_EQ(system.job_progress("Zebra", 5), progress) << state;
  }
  calls.state = std::unexpected(answer(IPP_STATUS_NOT_FOUND));
  EXPECT_EQ(system.job_progress("Zebra", 5), JobProgress::gone);
  calls.state = std::unexpected(no_answer());
  EXPECT_EQ(system.job_progress("Zebra", 5), JobProgress::unknown);
  // An aborted job may have reached the device first: its outcome is unknown.
  EXPECT_EQ(state_after_progress(AttemptState::SUBMITTED, JobProgress::failed),
            AttemptState::UNKNOWN);
}

TEST(CupsPrinting, OnePdfPagePerCopyAtTheMediaSizeWithTheLabelCentredInPoints) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue();
  ASSERT_EQ(print_label(calls, 3), 42u);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"create_job", "send_document"}));
  EXPECT_EQ(calls.job_title, "Order 7");
  EXPECT_EQ(calls.job_options,
            (std::vector<CupsOption>{{"media", "oe_4x6-label_4x6in"}, {"print-scaling", "none"}}));
  EXPECT_EQ(count_of(calls.pdf, "/MediaBox [0 0 288 432]"), 3u);
  // 203 + 406 + 203 pixels across, 304 + 609 + 305 down: 72 pt from the left, 107.82 from the top.
  EXPECT_EQ(count_of(calls.pdf, "q 144 0 0 216 72 108.1773 cm /Label Do Q"), 3u);
  EXPECT_EQ(count_of(calls.pdf, "/Subtype /Image"), 1u);
  EXPECT_EQ(count_of(calls.pdf, "/Interpolate false"), 1u);
  EXPECT_EQ(calls.closed, calls.connections);
}

TEST(CupsPrinting, MarginsMoveThePrintableArea) {
  FakeCupsCalls calls;
  CupsQueueDescription queue = label_queue();
  queue.default_media->left = 1270;  // half an inch
  queue.default_media->top = 2540;   // an inch
  calls.queues["Zebra"] = queue;
  ASSERT_EQ(print_label(calls), 42u);
  EXPECT_EQ(count_of(calls.pdf, "q 144 0 0 216 89.9113 72 cm"), 1u);
}

TEST(CupsPrinting, TheUsersLpoptionsMediaWinsAndAnUnknownOneIsRefusedBeforeAnyJob) {
  FakeCupsCalls calls;
  CupsQueueDescription queue = label_queue();
  queue.lpoptions_media_name = "w144h216";
  queue.lpoptions_media = CupsMedia{"w144h216", 5080, 7620, 0, 0, 0, 0};
  calls.queues["Zebra"] = queue;
  ASSERT_EQ(print_label(calls), 42u);
  EXPECT_EQ(calls.job_options.front(), (CupsOption{"media", "w144h216"}));
  EXPECT_EQ(count_of(calls.pdf, "/MediaBox [0 0 144 216]"), 1u);

  queue.lpoptions_media.reset();
  calls.queues["Zebra"] = queue;
  calls.calls.clear();
  const PrintOutcome outcome = print_label(calls);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().reach, PrintReach::nothing);
  EXPECT_EQ(outcome.error().error.message,
            "The print system could not read the selected print queue's paper size.");
  EXPECT_TRUE(calls.calls.empty());
}

TEST(CupsPrinting, AZeroPrintableAreaDoesNotFit) {
  FakeCupsCalls calls;
  CupsQueueDescription queue = label_queue();
  queue.default_media->left = 10160;
  calls.queues["Zebra"] = queue;
  const PrintOutcome outcome = print_label(calls);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), CupsPrintSystem(calls).label_does_not_fit());
  EXPECT_TRUE(calls.calls.empty());
}

struct FailureCase {
  const char* name;
  // Set up on a fake whose "Zebra" is a working label queue.
  void (*arrange)(FakeCupsCalls&);
  PrintReach reach;
  ErrorCode code;
  bool cancels;
};

class CupsPrintFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CupsPrintFailure, ReachesAsFarAsTheSchedulerShowed) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue();
  GetParam().arrange(calls);
  const PrintOutcome outcome = print_label(calls);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().reach, GetParam().reach);
  EXPECT_EQ(outcome.error().error.code, GetParam().code);
  EXPECT_EQ(std::ranges::count(calls.calls, "cancel_job 42"), GetParam().cancels ? 1 : 0);
  EXPECT_EQ(calls.closed, calls.connections);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CupsPrintFailure,
    ::testing::Values(
        FailureCase{"UnknownQueue", [](FakeCupsCalls& c) { c.queues.clear(); }, PrintReach::nothing,
                    ErrorCode::PRE_SUBMIT_UNAVAILABLE, false},
        FailureCase{"NoScheduler", [](FakeCupsCalls& c) { c.connect_failure = no_answer(); },
                    PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE, false},
        FailureCase{"QueueRejectsJobs",
                    [](FakeCupsCalls& c) { c.queues["Zebra"]->accepting_jobs = false; },
                    PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE, false},
        FailureCase{"CreateJobNotAccepting",
                    [](FakeCupsCalls& c) {
                      c.created = std::unexpected(answer(IPP_STATUS_NOT_ACCEPTING_JOBS));
                    },
                    PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE, false},
        FailureCase{"CreateJobForbidden",
                    [](FakeCupsCalls& c) { c.created = std::unexpected(answer(IPP_FORBIDDEN)); },
                    PrintReach::refused, ErrorCode::SUBMISSION_REJECTED, false},
        FailureCase{"CreateJobUnanswered",
                    [](FakeCupsCalls& c) { c.created = std::unexpected(no_answer()); },
                    PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME, false},
        FailureCase{"DocumentRefusedAndCancelled",
                    [](FakeCupsCalls& c) { c.sent = answer(IPP_DOCUMENT_FORMAT_ERROR); },
                    PrintReach::refused, ErrorCode::SUBMISSION_REJECTED, true},
        FailureCase{"DocumentRefusedCancelFailed",
                    [](FakeCupsCalls& c) {
                      c.sent = answer(IPP_DOCUMENT_FORMAT_ERROR);
                      c.cancelled = no_answer();
                    },
                    PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME, true},
        // The whole document may have arrived before the answer was lost.
        FailureCase{"DocumentUnansweredEvenIfCancelled",
                    [](FakeCupsCalls& c) { c.sent = no_answer(); }, PrintReach::unknown,
                    ErrorCode::UNKNOWN_OUTCOME, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
