#include "domain/messages/submit_batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "domain/submit/base64.hpp"
#include "domain/submit/payload_digest.hpp"
#include "message_fixture.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

// Label n is a PNG 16 + n pixels wide, so that each page tells which label it is.
BatchLabel label(int n, std::uint16_t copies = 1) {
  const auto png = test_png::write_flat_png(
      test_png::png_layout(16 + static_cast<std::uint32_t>(n), 16, 8, PNG_COLOR_TYPE_GRAY));
  return BatchLabel{
      "order-" + std::to_string(n), copies,
      RasterPayload{"png", test_png::encode_base64(png), 16 + static_cast<std::uint32_t>(n), 16}};
}

SubmitBatchRequest batch_of(int count, std::uint16_t copies = 1) {
  SubmitBatchRequest batch{"Label", "Wave", std::nullopt, 203, {}};
  for (int n = 0; n < count; ++n) batch.labels.push_back(label(n, copies));
  return batch;
}

// What a label's answer was: "new <job>", "duplicate <job>" or the error code.
std::string summary(const LabelAnswer& answer) {
  if (!answer) return std::string(error_code_name(answer.error().code));
  return (answer->duplicate ? "duplicate " : "new ") + answer->record.os_job_id;
}

class SubmitBatchFlow : public fakes::MessageFixture {
 public:
  using MessageFixture::printing;

  Result<std::vector<LabelAnswer>> submit(const SubmitBatchRequest& batch) {
    if (!state_) open();
    SubmitServices services{printing, watchdogs};
    auto answers = handle_submit_batch(batch, *state_, services);
    state_.reset();
    return answers;
  }
  std::vector<std::string> summaries(const SubmitBatchRequest& batch) {
    const auto answers = submit(batch);
    EXPECT_TRUE(answers.has_value());
    std::vector<std::string> out;
    for (const LabelAnswer& answer : answers.value_or(std::vector<LabelAnswer>{})) {
      out.push_back(summary(answer));
    }
    return out;
  }
  // A record of label n as another attempt left it.
  void store(int n, AttemptState state, std::string digest = {}) {
    if (!state_) open();
    const BatchLabel one = label(n);
    const auto png = test_png::write_flat_png(
        test_png::png_layout(16 + static_cast<std::uint32_t>(n), 16, 8, PNG_COLOR_TYPE_GRAY));
    JobRecord record;
    record.intent_id = one.intent_id;
    record.payload_sha256 =
        digest.empty() ? compute_payload_sha256(png, "Label", std::nullopt, 203, 1) : digest;
    record.state = state;
    record.printer = "Label";
    record.os_job_id = "3";
    record.created_at_ms = record.updated_at_ms = now_ms();
    state_->ledger.jobs[one.intent_id] = record;
  }
  [[nodiscard]] std::size_t documents_opened() const {
    return std::ranges::count_if(printing.calls, [](const std::string& call) {
      return call.starts_with("open_label_document");
    });
  }
  [[nodiscard]] std::vector<std::size_t> pages_per_document() const {
    std::vector<std::size_t> pages;
    for (const auto& document : printing.documents) pages.push_back(document.pages.size());
    return pages;
  }
};

struct WholeCase {
  const char* name;
  std::function<void(SubmitBatchRequest&)> spoil;
};

class SubmitBatchWhole : public SubmitBatchFlow, public ::testing::WithParamInterface<WholeCase> {};

TEST_P(SubmitBatchWhole, MalformedBatchIsRefusedWholeWithNothingRecorded) {
  SubmitBatchRequest batch = batch_of(3);
  GetParam().spoil(batch);
  const auto answers = submit(batch);
  ASSERT_FALSE(answers.has_value());
  EXPECT_EQ(answers.error().code, ErrorCode::BAD_REQUEST);
  EXPECT_EQ(saves(), 0u);
  EXPECT_TRUE(printing.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubmitBatchWhole,
    ::testing::Values(
        WholeCase{"no_labels", [](auto& b) { b.labels.clear(); }},
        WholeCase{"too_many", [](auto& b) { b = batch_of(501); }},
        WholeCase{"repeated_intent", [](auto& b) { b.labels[2].intent_id = "order-0"; }},
        WholeCase{"mixed_formats", [](auto& b) { b.labels[1].payload.format = "zpl"; }},
        WholeCase{"bad_printer", [](auto& b) { b.printer = "bad\n"; }},
        WholeCase{"bad_title", [](auto& b) { b.title.clear(); }},
        WholeCase{"bad_dpi", [](auto& b) { b.dpi = 71; }},
        WholeCase{"bad_media", [](auto& b) { b.media = "4x6 in"; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Mixed batches: each label answered as a submit of it alone would be.
struct MixedCase {
  const char* name;
  std::function<void(SubmitBatchFlow&, SubmitBatchRequest&)> arrange;
  std::vector<std::string> expected;  // per label
};

class SubmitBatchMixedTable : public SubmitBatchFlow,
                              public ::testing::WithParamInterface<MixedCase> {};

TEST_P(SubmitBatchMixedTable, EachLabelIsAnsweredAsItsOwnSubmitWould) {
  SubmitBatchRequest batch = batch_of(5);
  GetParam().arrange(*this, batch);
  const std::vector<std::string> answers = summaries(batch);
  EXPECT_EQ(answers, GetParam().expected);
  // A page for each new label and for nothing else.
  const auto pages = pages_per_document();
  EXPECT_EQ(std::accumulate(pages.begin(), pages.end(), std::size_t{0}),
            static_cast<std::size_t>(std::ranges::count(answers, "new 7")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubmitBatchMixedTable,
    ::testing::Values(
        MixedCase{"all_new", [](auto&, auto&) {}, {"new 7", "new 7", "new 7", "new 7", "new 7"}},
        MixedCase{"duplicates_and_earlier_attempts",
                  [](SubmitBatchFlow& flow, auto&) {
                    flow.store(0, AttemptState::SUBMITTED);
                    flow.store(1, AttemptState::FAILED);
                    flow.store(2, AttemptState::UNKNOWN);
                    flow.store(3, AttemptState::COMPLETED, std::string(64, 'a'));
                  },
                  {"duplicate 3", "ATTEMPT_FAILED", "UNKNOWN_OUTCOME", "INTENT_CONFLICT", "new 7"}},
        MixedCase{"invalid_labels",
                  [](auto&, SubmitBatchRequest& batch) {
                    batch.labels[0].copies = 11;
                    batch.labels[2].payload.base64 = "AAAA";
                    batch.labels[4].intent_id = "bad id";
                  },
                  {"BAD_REQUEST", "new 7", "BAD_REQUEST", "new 7", "BAD_REQUEST"}},
        MixedCase{"label_that_does_not_fit_is_failed_alone",
                  [](SubmitBatchFlow& flow, SubmitBatchRequest&) {
                    flow.printing.area = PrintableArea{{203, 203}, 13, 1000};
                  },
                  {"new 7", "new 7", "MEDIA_MISMATCH", "MEDIA_MISMATCH", "MEDIA_MISMATCH"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SubmitBatchFlow, ChunksOfTwentyFiveAreOneJobAndTwoSavesEach) {
  const auto answers = summaries(batch_of(60));
  EXPECT_EQ(pages_per_document(), (std::vector<std::size_t>{25, 25, 10}));
  EXPECT_EQ(saves(), 6u);
  EXPECT_EQ(watchdogs.labels, std::vector<std::string>(3, SUBMIT_BATCH_WATCHDOG_LABEL));
  EXPECT_EQ(print_calls_outside_watchdog, 0);
  EXPECT_EQ(answers[24], "new 7");
  EXPECT_EQ(answers[25], "new 8");
  EXPECT_EQ(answers[59], "new 9");
  const auto ledger = on_disk().value();
  EXPECT_EQ(ledger.jobs.size(), 60u);
  EXPECT_EQ(ledger.jobs.at("order-30").os_job_id, "8");
  EXPECT_EQ(ledger.jobs.at("order-30").state, AttemptState::SUBMITTED);
  // Pages keep request order with each label's copies together.
  EXPECT_EQ(printing.documents[0].pages[1].width, 17);
}

TEST_F(SubmitBatchFlow, ManyCopiesCloseAChunkAtOneHundredPages) {
  (void)summaries(batch_of(25, 10));
  EXPECT_EQ(pages_per_document(), (std::vector<std::size_t>{100, 100, 50}));
}

// The failure of a chunk's step, and what it makes of the chunk and of the chunks after it.
struct ChunkFailureCase {
  const char* name;
  const char* step;
  std::string first_chunk;             // each label's answer
  std::optional<AttemptState> stored;  // the first chunk's records; nullopt: none
  std::string second_chunk;
  std::size_t documents;
};

class SubmitBatchChunkFailure : public SubmitBatchFlow,
                                public ::testing::WithParamInterface<ChunkFailureCase> {};

TEST_P(SubmitBatchChunkFailure, ChunkAnswersAsASingleSubmitWouldInTheSameFailure) {
  const ChunkFailureCase& c = GetParam();
  printing.fail(c.step);
  const auto answers = summaries(batch_of(30));
  EXPECT_EQ(answers[0], c.first_chunk);
  EXPECT_EQ(answers[24], c.first_chunk);
  EXPECT_EQ(answers[25], c.second_chunk);
  EXPECT_EQ(documents_opened(), c.documents);
  const auto ledger = on_disk().value();
  if (c.stored) {
    EXPECT_EQ(ledger.jobs.at("order-0").state, *c.stored);
  } else {
    EXPECT_FALSE(ledger.jobs.contains("order-0"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubmitBatchChunkFailure,
    ::testing::Values(
        // A queue that cannot be opened: nothing recorded, and the later chunks not tried.
        ChunkFailureCase{"queue_not_opened", "open_label_document", "PRE_SUBMIT_UNAVAILABLE",
                         std::nullopt, "PRE_SUBMIT_UNAVAILABLE", 1},
        ChunkFailureCase{"job_refused", "begin", "SUBMISSION_REJECTED", AttemptState::FAILED,
                         "new 7", 2},
        ChunkFailureCase{"page_lost", "draw_page", "UNKNOWN_OUTCOME", AttemptState::UNKNOWN,
                         "new 7", 2},
        ChunkFailureCase{"end_lost", "end", "UNKNOWN_OUTCOME", AttemptState::UNKNOWN, "new 7", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SubmitBatchFlow, NextChunkReadsTheLedgerAfreshAndSkipsWhatAnotherHostPrinted) {
  const SubmitBatchRequest batch = batch_of(30);
  // While the lock is free between the chunks, another host prints label 27.
  int locks = 0;
  files.plan().hook = [&](std::string_view call) {
    if (call != "try_lock" || ++locks != 2) return;
    HostLedger ledger = on_disk().value();
    const auto png =
        test_png::write_flat_png(test_png::png_layout(16 + 27, 16, 8, PNG_COLOR_TYPE_GRAY));
    JobRecord record;
    record.intent_id = "order-27";
    record.payload_sha256 = compute_payload_sha256(png, "Label", std::nullopt, 203, 1);
    record.state = AttemptState::SUBMITTED;
    record.printer = "Label";
    record.os_job_id = "99";
    record.created_at_ms = record.updated_at_ms = now_ms();  // within the retention
    ledger.jobs["order-27"] = record;
    files.put_file(files.path("ledger.json"), encode_ledger(ledger).value());
  };
  const auto answers = summaries(batch);
  EXPECT_EQ(answers[27], "duplicate 99");
  EXPECT_EQ(answers[28], "new 8");
  EXPECT_EQ(pages_per_document(), (std::vector<std::size_t>{25, 4}));
  EXPECT_EQ(on_disk()->jobs.at("order-27").os_job_id, "99");
}

TEST_F(SubmitBatchFlow, FailedSaveStopsTheBatchWithNothingMoreRecorded) {
  files.plan().fail("rename_over", 5, 3);  // the second chunk's DISPATCHING save
  const auto answers = summaries(batch_of(60));
  EXPECT_EQ(answers[0], "new 7");
  EXPECT_EQ(answers[25], "PRE_SUBMIT_UNAVAILABLE");
  EXPECT_EQ(answers[59], "PRE_SUBMIT_UNAVAILABLE");
  EXPECT_EQ(pages_per_document(), (std::vector<std::size_t>{25}));
  EXPECT_EQ(on_disk()->jobs.size(), 25u);
}

// Printer-language label n, stating a 4 x 6 in page at 203 dpi unless it says otherwise.
BatchLabel raw_label(int n, const std::string& geometry = "^PW812^LL1218") {
  const std::string zpl = "^XA" + geometry + "^FD" + std::to_string(n) + "^FS^XZ";
  return BatchLabel{"order-" + std::to_string(n), 1,
                    RasterPayload{"zpl", test_png::encode_base64({zpl.begin(), zpl.end()}), 0, 0}};
}

std::string raw_text(const BatchLabel& label) {
  const auto bytes = decode_base64_strict(label.payload.base64).value();
  return {bytes.begin(), bytes.end()};
}

TEST_F(SubmitBatchFlow, PrinterLanguageChunkIsOneJobOfTheFittingLabelsBytes) {
  SubmitBatchRequest batch{"Label", "Wave", std::nullopt, 203, {}};
  for (int n = 0; n < 30; ++n) batch.labels.push_back(raw_label(n));
  batch.labels[0].copies = 2;
  batch.labels[1] = raw_label(1, "^PW812^LL2436");  // twice the page's length
  batch.labels[2] = raw_label(2, "^JUS");           // changes the printer: not allowed here
  batch.labels[3] = raw_label(3, "");               // states no size

  const auto answers = submit(batch);

  ASSERT_TRUE(answers.has_value());
  std::vector<std::string> got;
  for (const auto& answer : *answers) got.push_back(summary(answer));
  EXPECT_EQ(got[0], "new 7");
  EXPECT_EQ(got[1], "MEDIA_MISMATCH");
  EXPECT_EQ(got[2], "BAD_REQUEST");
  EXPECT_EQ(got[25], "new 7");
  EXPECT_EQ(got[26], "new 8");
  EXPECT_EQ((*answers)[0]->geometry, LabelGeometry::checked);
  EXPECT_EQ((*answers)[3]->geometry, LabelGeometry::undeclared);
  // The first chunk is labels 0, 1 and 3 to 25 (label 2 was never a candidate), label 1 left
  // out of its job.
  ASSERT_EQ(printing.documents.size(), 2u);
  std::string first = raw_text(batch.labels[0]) + raw_text(batch.labels[0]);
  for (int n = 3; n <= 25; ++n) first += raw_text(batch.labels[n]);
  EXPECT_TRUE(printing.documents[0].raw);
  EXPECT_EQ(std::string(printing.documents[0].bytes.begin(), printing.documents[0].bytes.end()),
            first);
  EXPECT_EQ(saves(), 4u);
  EXPECT_EQ(on_disk()->jobs.at("order-1").state, AttemptState::FAILED);
  EXPECT_FALSE(on_disk()->jobs.contains("order-2"));
  // Repeated with the opt-in, the printed ones answer from the ledger with their geometry.
  batch.printer_settings_allowed = true;
  const auto again = submit(batch);
  EXPECT_EQ(summary((*again)[2]), "new 9");
  EXPECT_EQ(summary((*again)[4]), "INTENT_CONFLICT");  // the opt-in is part of the output
  batch.printer_settings_allowed = false;
  EXPECT_EQ((*submit(batch))[3]->geometry, LabelGeometry::undeclared);
}

TEST_F(SubmitBatchFlow, QueueTakingNoPrinterLanguageRefusesTheBatchWithNothingRecorded) {
  SubmitBatchRequest batch{"Label", "Wave", std::nullopt, 203, {}};
  for (int n = 0; n < 30; ++n) batch.labels.push_back(raw_label(n));
  printing.fail("open_raw_document");
  const auto answers = submit(batch);
  EXPECT_EQ(summary((*answers)[0]), "SUBMISSION_REJECTED");
  EXPECT_EQ(summary((*answers)[29]), "SUBMISSION_REJECTED");
  EXPECT_EQ(saves(), 0u);
  EXPECT_EQ(printing.calls.size(), 1u);
}

TEST_F(SubmitBatchFlow, PrinterLanguageChunkClosesAtSixteenMebibytesToSend) {
  SubmitBatchRequest batch{"Label", "Wave", std::nullopt, 203, {}};
  for (int n = 0; n < 2; ++n) {
    batch.labels.push_back(raw_label(n, "^FX" + std::string(1 << 20, 'x')));  // 1 MiB of comment
    batch.labels.back().copies = 10;
  }
  EXPECT_EQ(summaries(batch), (std::vector<std::string>{"new 7", "new 8"}));
}

TEST_F(SubmitBatchFlow, BusyLockBetweenChunksAnswersTheRestBridgeBusy) {
  watchdogs.on_arm = [&] { files.other_lock_holder_until = files.clock + std::chrono::seconds(5); };
  const auto answers = summaries(batch_of(30));
  EXPECT_EQ(answers[24], "new 7");
  EXPECT_EQ(answers[25], "BRIDGE_BUSY");
  EXPECT_FALSE(on_disk()->jobs.contains("order-25"));
}

}  // namespace
}  // namespace vantrel
