#include "domain/printing/cups/cups_print_system.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/os_error.hpp"
#include "domain/printing/label_printing.hpp"
#include "fake_cups_calls.hpp"

namespace vantrel {
namespace {

using fakes::answer;
using fakes::attribute;
using fakes::FakeCupsCalls;
using fakes::job_on;
using fakes::label_queue;
using fakes::media_col;
using fakes::no_answer;

constexpr std::uint32_t IPP_FORBIDDEN = 0x0401;
constexpr std::uint32_t IPP_DOCUMENT_FORMAT_ERROR = 0x040B;

LabelBitmap white_bitmap(std::uint32_t width, std::uint32_t height) {
  LabelBitmap bitmap{width, height, std::make_unique<std::uint8_t[]>(4u * width * height), {}};
  std::memset(bitmap.pixels.get(), 0xFF, bitmap.size_bytes());
  return bitmap;
}

// A 2 x 3 inch label at 203 dpi.
PrintOutcome print_label(FakeCupsCalls& calls, std::uint16_t copies = 1,
                         const std::optional<MediaRequest>& media = std::nullopt) {
  CupsPrintSystem system(calls);
  return vantrel::print_label(system, "Zebra", "Order 7", white_bitmap(406, 609), 203, copies,
                              media);
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

// CUPS takes queue names in any bytes (a Latin-1 "é" here); the answers carry UTF-8 only.
TEST(CupsQueues, NamesThatAreNotUtf8AreListedWithReplacementCharacters) {
  FakeCupsCalls calls;
  calls.printers = std::vector<IppAttributes>{
      {attribute("printer-name", std::string("Caf\xE9")), attribute("printer-state", 3),
       attribute("printer-is-accepting-jobs", true)},
      {attribute("printer-name", std::string("\xC3\xA9tiquettes")), attribute("printer-state", 4),
       attribute("printer-is-accepting-jobs", true)}};
  calls.default_name = "Caf\xE9";
  CupsPrintSystem system(calls);
  const auto queues = system.queues();
  ASSERT_TRUE(queues.has_value());
  ASSERT_EQ(queues->size(), 2u);
  EXPECT_EQ((*queues)[0].name, "Caf\xEF\xBF\xBD");
  EXPECT_EQ((*queues)[0].state, PrintQueueState::idle);
  EXPECT_EQ((*queues)[1].name, "\xC3\xA9tiquettes");
  EXPECT_EQ((*queues)[1].state, PrintQueueState::printing);
  EXPECT_EQ(system.default_queue(), "Caf\xEF\xBF\xBD");
}

TEST(CupsJobs, JobStateDecidesAndAPurgedJobIsGone) {
  FakeCupsCalls calls;
  CupsPrintSystem system(calls);
  const std::pair<int, JobProgress> cases[] = {
      {3, JobProgress::queued},  {4, JobProgress::queued}, {6, JobProgress::queued},
      {7, JobProgress::deleted}, {8, JobProgress::failed}, {9, JobProgress::completed}};
  for (const auto& [state, progress] : cases) {
    calls.job = job_on("ipp://localhost/printers/Zebra", state);
    EXPECT_EQ(system.job_progress("Zebra", 5), progress) << state;
  }
  calls.job = std::unexpected(answer(IPP_STATUS_NOT_FOUND));
  EXPECT_EQ(system.job_progress("Zebra", 5), JobProgress::gone);
  calls.job = std::unexpected(no_answer());
  EXPECT_EQ(system.job_progress("Zebra", 5), JobProgress::unknown);
  EXPECT_EQ(calls.closed, calls.connections);
}

// The scheduler answers a job number whichever queue holds it; numbers start again from 1
// when its history is reset.
TEST(CupsJobs, OnlyAJobOnTheRecordsQueueIsTheRecordsJob) {
  FakeCupsCalls calls;
  CupsPrintSystem system(calls);
  const std::pair<const char*, JobProgress> cases[] = {
      {"ipp://localhost/printers/Other", JobProgress::gone},
      {"ipp://localhost/printers/Label%20ZPL2", JobProgress::gone},
      {"ipp://localhost/jobs/5", JobProgress::gone},
      {"ipp://localhost:631/printers/label%20zpl", JobProgress::completed},
      {"ipp://localhost/classes/Label%20ZPL", JobProgress::completed},
  };
  for (const auto& [uri, progress] : cases) {
    calls.job = job_on(uri);
    EXPECT_EQ(system.job_progress("Label ZPL", 5), progress) << uri;
  }
  calls.job = IppAttributes{attribute("job-state", 9)};
  EXPECT_EQ(system.job_progress("Label ZPL", 5), JobProgress::unknown);
}

TEST(CupsPrinting, OneRequestAboutTheQueueThenOnePdfPagePerCopyAtTheMediaSize) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue();
  ASSERT_EQ(print_label(calls, 3), 42u);
  EXPECT_EQ(calls.calls,
            (std::vector<std::string>{"get_printer_attributes", "create_job", "send_document"}));
  EXPECT_EQ(calls.connections, 1);
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
  calls.queues["Zebra"] = label_queue(1270, 2540);  // half an inch left, an inch at the top
  ASSERT_EQ(print_label(calls), 42u);
  EXPECT_EQ(count_of(calls.pdf, "q 144 0 0 216 89.9113 72 cm"), 1u);
}

TEST(CupsPrinting, TheUsersLpoptionsMediaIsThePageWithTheQueuesMarginsForItsSize) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue();
  // A PPD name says its size in points; the queue lists 2 x 3 in without margins.
  calls.lpoptions = {{"media", "oe_4x6-label_4x6in"}, {"Media", "w144h216"}};
  ASSERT_EQ(print_label(calls), 42u);
  EXPECT_EQ(calls.job_options.front(), (CupsOption{"media", "w144h216"}));
  EXPECT_EQ(count_of(calls.pdf, "/MediaBox [0 0 144 216]"), 1u);

  // A name from libcups' tables, whose size the queue lists with half an inch at the left.
  calls.lpoptions = {{"media", "4x6"}};
  calls.driver_media_names["4x6"] = MediaSize{101'600 + 100, 152'400 - 100};
  ASSERT_EQ(print_label(calls), 42u);
  EXPECT_EQ(calls.job_options.front(), (CupsOption{"media", "4x6"}));
  EXPECT_EQ(count_of(calls.pdf, "/MediaBox [0 0 288 432] /Rotate 0"), 1u);
  EXPECT_EQ(count_of(calls.pdf, "q 144 0 0 216 89.9113 108.1773 cm"), 1u);

  calls.lpoptions = {{"media", "Tray 2"}};
  calls.calls.clear();
  const PrintOutcome outcome = print_label(calls);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().reach, PrintReach::nothing);
  EXPECT_EQ(outcome.error().error.message,
            "The print system could not read the selected print queue's paper size.");
  EXPECT_EQ(calls.calls, std::vector<std::string>{"get_printer_attributes"});
}

TEST(CupsPrinting, AZeroPrintableAreaDoesNotFit) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue(10160);
  const PrintOutcome outcome = print_label(calls);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), CupsPrintSystem(calls).label_does_not_fit());
  EXPECT_EQ(calls.calls, std::vector<std::string>{"get_printer_attributes"});
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
                    [](FakeCupsCalls& c) {
                      c.queues["Zebra"]->front() = attribute("printer-is-accepting-jobs", false);
                    },
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

IppAttribute keywords(std::string name, std::vector<std::string> words) {
  IppAttribute attribute{std::move(name), {}};
  for (std::string& word : words) attribute.values.emplace_back(std::move(word));
  return attribute;
}

IppCollection named_col(IppCollection col, std::string_view member, std::string name) {
  col.members.push_back(attribute(std::string(member), std::move(name)));
  return col;
}

// The label queue with names for its media and, first in its list, a media that its own name
// says is 2 x 3 in but whose size is Letter: a job naming it would print on Letter.
IppAttributes queue_with_names() {
  IppAttributes queue = label_queue();
  queue.push_back(keywords("media-supported",
                           {"na_index-4x6_4x6in", "custom_min_1x1in", "custom_max_2.5x3in"}));
  auto& database = std::ranges::find(queue, "media-col-database", &IppAttribute::name)->values;
  database.insert(database.begin(),
                  named_col(media_col(21590, 27940), "media-size-name", "custom_2x3in"));
  return queue;
}

TEST(CupsPrinterDetails, OneRequestTellsTheQueueAndItsMediaByTheirOwnNames) {
  FakeCupsCalls calls;
  IppCollection without_margins{
      {attribute("media-size",
                 IppCollection{{attribute("x-dimension", 5867), attribute("y-dimension", 8890)}})}};
  calls.queues["Zebra"] = IppAttributes{
      attribute("printer-name", std::string("Caf\xE9")), attribute("printer-state", 3),
      attribute("printer-is-accepting-jobs", true), attribute("printer-type", 0x20000 | 0x4),
      attribute("color-supported", false),
      keywords("document-format-supported", {"application/pdf", "application/vnd.cups-raw"}),
      IppAttribute{"printer-resolution-supported",
                   {IppResolution{203, 203, false}, IppResolution{118, 118, true}}},
      attribute("printer-resolution-default", IppResolution{203, 203, false}),
      keywords("media-supported",
               {"custom_min_0.5x0.5in", "custom_max_4x39in", "custom_58.93x88.9mm_58.93x88.9mm",
                "custom_58.67x88.9mm_58.67x88.9mm", "na_index-4x6_4x6in"}),
      // A second 4 x 6 of the same name is the same media; sizes 0.26 mm apart keep their own
      // names; a name of the media's own comes first; a size no name says is named by its size.
      IppAttribute{"media-col-database",
                   {media_col(10160, 15240, 100, 200), media_col(10160, 15240),
                    named_col(media_col(5893, 8890), "media-size-name", "oe_square-photo_5x5in"),
                    without_margins, media_col(5893, 8890)}},
      attribute("media-col-default", media_col(10160, 12700)),
      attribute("media-default", std::string("custom_4x5in_4x5in")),
      // CUPS' guess from its default paper carries no source; a device's loaded media does.
      IppAttribute{
          "media-col-ready",
          {media_col(20990, 29704), named_col(media_col(10160, 15240), "media-source", "main")}}};
  CupsPrintSystem system(calls);
  const auto details = system.printer_details("Zebra");
  ASSERT_TRUE(details.has_value()) << details.error().message;
  const auto area = [](int x, int y, int width, int height) {
    return std::optional<MediaArea>(MediaArea{x, y, width, height});
  };
  EXPECT_EQ(*details,
            (PrinterDetails{
                "Caf\xEF\xBF\xBD",
                PrintQueueState::idle,
                true,
                false,
                {{203, 203}, {299, 299}},
                Resolution{203, 203},
                {{"na_index-4x6_4x6in", {101'600, 152'400}, area(1000, 2000, 100'600, 150'400)},
                 {"oe_square-photo_5x5in", {58'930, 88'900}, area(0, 0, 58'930, 88'900)},
                 {"custom_58.67x88.9mm_58.67x88.9mm", {58'670, 88'900}, std::nullopt},
                 {"custom_58.93x88.9mm_58.93x88.9mm", {58'930, 88'900}, area(0, 0, 58'930, 88'900)},
                 {"custom_4x5in_4x5in", {101'600, 127'000}, area(0, 0, 101'600, 127'000)}},
                "custom_4x5in_4x5in",
                {"na_index-4x6_4x6in"},
                MediaRange{{12'700, 12'700}, {101'600, 990'600}},
                true}));
  EXPECT_EQ(calls.calls, std::vector<std::string>{"get_printer_attributes"});
  EXPECT_EQ(calls.connections, 1);
  EXPECT_EQ(calls.closed, 1);
}

// Printer-language bytes: one request about the queue, Create-Job, and every write in one raw
// document; a queue that does not list the raw type is refused before any job exists.
TEST(CupsRawPrinting, BytesGoUnchangedAsOneRawDocumentOnlyToAQueueThatTakesThem) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = label_queue();
  calls.queues["Zebra"]->push_back(
      IppAttribute{"printer-resolution-supported", {IppResolution{203, 203, false}}});
  CupsPrintSystem system(calls);
  auto refused = system.open_raw_document("Zebra", std::nullopt);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().reach, PrintReach::nothing);
  EXPECT_EQ(refused.error().error.code, ErrorCode::SUBMISSION_REJECTED);
  EXPECT_EQ(system.printer_details("Zebra")->raw, std::nullopt);

  calls.queues["Zebra"]->push_back(
      keywords("document-format-supported", {"application/pdf", "application/vnd.cups-raw"}));
  calls.calls.clear();
  const int connections = calls.connections;
  auto document = system.open_raw_document("Zebra", std::nullopt);
  ASSERT_TRUE(document.has_value());
  EXPECT_EQ((*document)->page().size, (MediaSize{101'600, 152'400}));
  EXPECT_EQ((*document)->page().resolutions, (std::vector<Resolution>{{203, 203}}));
  const std::string label = "^XA^PW812^XZ";
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(label.data()), label.size());
  ASSERT_EQ(print_raw_labels(**document, "Order 7", {{{bytes, 2}}}), 42u);
  EXPECT_EQ(calls.calls,
            (std::vector<std::string>{"get_printer_attributes", "create_job", "send_document"}));
  EXPECT_EQ(calls.document_format, "application/vnd.cups-raw");
  EXPECT_EQ(calls.pdf, label + label);
  EXPECT_TRUE(calls.job_options.empty());
  EXPECT_EQ(calls.connections, connections + 1);  // the question and the job on one

  // A media the queue lacks is refused for certain, as for a PNG.
  auto lacking =
      system.open_raw_document("Zebra", MediaRequest{"na_letter_8.5x11in", {215'900, 279'400}});
  ASSERT_FALSE(lacking.has_value());
  EXPECT_EQ(lacking.error().error.code, ErrorCode::MEDIA_UNSUPPORTED);
}

TEST(CupsPrinterDetails, TheUsersOwnDefaultsWinOverTheSchedulers) {
  FakeCupsCalls calls;
  calls.queues["Zebra"] = queue_with_names();
  calls.queues["Zebra"]->push_back(attribute("printer-type", 0x20000));
  calls.lpoptions = {{"media", "w288h432"}};
  calls.local_default = "Other";
  CupsPrintSystem system(calls);
  auto details = system.printer_details("Zebra");
  ASSERT_TRUE(details.has_value());
  EXPECT_FALSE(details->is_default);
  EXPECT_EQ(details->default_media, "na_index-4x6_4x6in");

  calls.queues["Zebra"]->pop_back();
  calls.local_default = "ZEBRA";
  details = system.printer_details("Zebra");
  EXPECT_TRUE(details->is_default);
}

TEST(CupsPrinterDetails, AnUnknownQueueIsRefusedAsASubmitToItIs) {
  FakeCupsCalls calls;
  const auto details = CupsPrintSystem(calls).printer_details("Zebra");
  const PrintOutcome printed = print_label(calls);
  ASSERT_FALSE(details.has_value());
  EXPECT_EQ(details.error(), printed.error().error);
  EXPECT_EQ(details.error().code, ErrorCode::PRE_SUBMIT_UNAVAILABLE);
}

struct MediaCase {
  const char* name;
  const char* requested;
  const char* job_media;  // nullptr: refused with `refusal` before any job
  const char* page;
  const char* label;
  ErrorCode refusal;
};

class CupsMediaSelection : public ::testing::TestWithParam<MediaCase> {};

TEST_P(CupsMediaSelection, TheQueuesMediaOfTheRequestedSizeIsThePage) {
  const MediaCase& test = GetParam();
  FakeCupsCalls calls;
  calls.queues["Zebra"] = queue_with_names();
  calls.lpoptions = {{"media", "w144h216"}};  // a job's own media wins
  const auto size = media_size_of_name(test.requested);
  const PrintOutcome outcome = print_label(calls, 1, MediaRequest{test.requested, *size});
  EXPECT_EQ(calls.closed, calls.connections);
  if (test.job_media == nullptr) {
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().reach, PrintReach::refused);
    EXPECT_EQ(outcome.error().error.code, test.refusal);
    EXPECT_EQ(calls.calls, std::vector<std::string>{"get_printer_attributes"});
    return;
  }
  ASSERT_EQ(outcome, 42u);
  EXPECT_EQ(calls.job_options.front(), (CupsOption{"media", test.job_media}));
  EXPECT_EQ(count_of(calls.pdf, test.page), 1u);
  EXPECT_EQ(count_of(calls.pdf, test.label), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CupsMediaSelection,
    ::testing::Values(
        // 4 x 6 in has a left margin of half an inch on the queue.
        MediaCase{"AnotherNameOfTheSizeTakesTheQueuesName",
                  "custom_4x6in",
                  "na_index-4x6_4x6in",
                  "/MediaBox [0 0 288 432]",
                  "q 144 0 0 216 89.9113 108.1773 cm",
                  {}},
        // Turned, the half inch is kept at the top and the bottom, whichever way CUPS turns it.
        MediaCase{"TheTurnedSizeIsUsedTurned",
                  "oe_label_6x4in",
                  "na_index-4x6_4x6in",
                  "/MediaBox [0 0 432 288]",
                  "q 144 0 0 216 144 36 cm",
                  {}},
        // Beyond half a millimetre of any media, within the custom range: that size itself.
        MediaCase{"ASizeInTheCustomRange",
                  "oe_label_2.25x3in",
                  "Custom.57.15x76.2mm",
                  "/MediaBox [0 0 162 216]",
                  "q 144 0 0 216 8.867 0 cm",
                  {}},
        MediaCase{"ASizeTheQueueLacks", "custom_3x3in", nullptr, nullptr, nullptr,
                  ErrorCode::MEDIA_UNSUPPORTED},
        // The queue names the 2 x 3 in media as it names Letter: the page would be Letter.
        MediaCase{"AQueueNameThatGivesAnotherPage", "oe_label_2x3in", nullptr, nullptr, nullptr,
                  ErrorCode::MEDIA_MISMATCH}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
