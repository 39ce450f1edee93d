#include "domain/messages/submit_batch.hpp"

#include <set>
#include <span>
#include <string_view>
#include <utility>

#include "base/parallel.hpp"
#include "domain/submit/payload_digest.hpp"
#include "domain/submit/raw_label.hpp"

namespace vantrel {
namespace {

constexpr std::string_view LABEL_COUNT_TEXT = "A batch holds 1 to 500 labels.";
constexpr std::string_view REPEATED_INTENT_TEXT =
    "Each label of a batch needs an intent_id of its own.";
constexpr std::string_view MIXED_FORMATS_TEXT = "All labels of a batch must share one format.";

// A valid label, ready to be recorded: its request as a submit of it alone, and its PNG or its
// printer-language label.
struct Candidate {
  std::size_t index = 0;  // in the request
  SubmitRequest request;
  std::vector<std::uint8_t> png;
  std::optional<RawLabel> raw;
  std::string digest;

  // What the label weighs against its chunk's byte limit.
  [[nodiscard]] std::uint64_t chunk_bytes() const {
    if (raw) return std::uint64_t{raw->bytes.size()} * request.copies;
    return std::uint64_t{4} * request.payload.width_px * request.payload.height_px;
  }
};

Status check_whole_batch(const SubmitBatchRequest& request) {
  if (request.labels.empty() || request.labels.size() > BATCH_MAX_LABELS) {
    return fail(ErrorCode::BAD_REQUEST, std::string(LABEL_COUNT_TEXT));
  }
  if (auto shared =
          validate_shared_settings(request.printer, request.title, request.dpi, request.media);
      !shared) {
    return shared;
  }
  std::set<std::string_view> intents;
  for (const BatchLabel& label : request.labels) {
    if (!intents.insert(label.intent_id).second) {
      return fail(ErrorCode::BAD_REQUEST, std::string(REPEATED_INTENT_TEXT));
    }
    if (label.payload.format != request.labels.front().payload.format) {
      return fail(ErrorCode::BAD_REQUEST, std::string(MIXED_FORMATS_TEXT));
    }
  }
  return {};
}

SubmitRequest submit_of(const SubmitBatchRequest& batch, const BatchLabel& label) {
  return SubmitRequest{
      label.intent_id, batch.printer, batch.title,   label.copies,
      batch.media,     batch.dpi,     label.payload, batch.printer_settings_allowed};
}

// A label checked as a submit of it alone would be, with what the ledger knows it by.
Result<Candidate> candidate_of(const SubmitBatchRequest& batch, std::size_t index) {
  SubmitRequest single = submit_of(batch, batch.labels[index]);
  if (auto valid = validate_submit_request(single); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  Candidate candidate;
  candidate.index = index;
  if (const auto language = raw_language_of_format(single.payload.format)) {
    auto label =
        verify_raw_payload(*language, single.payload, single.dpi, single.printer_settings_allowed);
    if (!label) return std::unexpected(std::move(label.error()));
    candidate.digest = compute_raw_payload_sha256(format_of_raw_language(*language), label->bytes,
                                                  single.printer, single.media, single.dpi,
                                                  single.copies, single.printer_settings_allowed);
    candidate.raw = std::move(*label);
  } else {
    auto png = verify_raster_payload(single.payload);
    if (!png) return std::unexpected(std::move(png.error()));
    candidate.digest =
        compute_payload_sha256(*png, single.printer, single.media, single.dpi, single.copies);
    candidate.png = std::move(*png);
  }
  single.payload.base64.clear();  // verified; only the decoded bytes are needed from here on
  candidate.request = std::move(single);
  return candidate;
}

// A state that could not be taken again answers as a submit's would: BRIDGE_BUSY asks again
// later, anything else never reached the print system.
HostError not_dispatched(HostError error) {
  if (error.code != ErrorCode::BRIDGE_BUSY) error.code = ErrorCode::PRE_SUBMIT_UNAVAILABLE;
  return error;
}

// The PNG chunk: every label made ready to draw, decoded a second time where
// the print system needs pixels (one that fails is left out alone), then one
// document with a page per copy. The bitmaps live until the job is whole.
LabelsOutcome print_png_chunk(const SubmitBatchRequest& batch, std::span<Candidate* const> chunk,
                              SubmitServices& services) {
  LabelsOutcome outcome{PrintOutcome(0), std::vector<std::optional<PrintFailure>>(chunk.size())};
  auto media = media_request_of(batch.media);
  if (!media) {
    outcome.job = std::unexpected(std::move(media.error()));
    return outcome;
  }
  std::vector<std::optional<Result<LabelBitmap>>> bitmaps(chunk.size());
  for_each_index(chunk.size(),
                 [&](std::size_t i) { bitmaps[i] = label_image(services, chunk[i]->png); });
  std::vector<LabelPages> pages;
  std::vector<std::size_t> drawn;  // the chunk's index of each entry of `pages`
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (!*bitmaps[i]) {
      outcome.left_out[i] = undecodable_label().error();
      continue;
    }
    pages.push_back(LabelPages{&**bitmaps[i], chunk[i]->request.copies});
    drawn.push_back(i);
  }
  if (pages.empty()) {
    outcome.job = std::unexpected(*outcome.left_out.front());
    return outcome;
  }
  LabelsOutcome printed =
      print_labels(services.printing, batch.printer, batch.title, pages, batch.dpi, *media);
  outcome.job = std::move(printed.job);
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    outcome.left_out[drawn[i]] = std::move(printed.left_out[i]);
  }
  return outcome;
}

// The printer-language chunk: the labels that fit the page, their bytes in one job.
LabelsOutcome print_raw_chunk(const SubmitBatchRequest& batch, std::span<Candidate* const> chunk,
                              RawDocumentOpened& document) {
  if (!document) {
    return LabelsOutcome{std::unexpected(document.error()),
                         std::vector<std::optional<PrintFailure>>(chunk.size())};
  }
  std::vector<RawLabelCopies> labels;
  labels.reserve(chunk.size());
  for (const Candidate* label : chunk) labels.push_back({&*label->raw, label->request.copies});
  return print_fitting_raw_labels(**document, batch.title, labels, batch.dpi);
}

// The chunk's job under its own watchdog; `raw` is the printer-language document opened for it.
LabelsOutcome print_chunk(const SubmitBatchRequest& batch, std::span<Candidate* const> chunk,
                          SubmitServices& services, RawDocumentOpened* raw) {
  auto outcome = run_guarded(services.watchdogs, SUBMIT_BATCH_WATCHDOG_LABEL, [&] {
    return raw != nullptr ? print_raw_chunk(batch, chunk, *raw)
                          : print_png_chunk(batch, chunk, services);
  });
  // Without a watchdog the stretch never began: nothing has reached the print system.
  if (!outcome) {
    return LabelsOutcome{print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                                       std::move(outcome.error().message)),
                         std::vector<std::optional<PrintFailure>>(chunk.size())};
  }
  return std::move(*outcome);
}

// The batch's walk through its valid labels, one chunk at a time.
class BatchRun {
 public:
  BatchRun(const SubmitBatchRequest& batch, HostState& state, SubmitServices& services,
           std::vector<std::optional<LabelAnswer>>& answers)
      : batch_(batch), state_(state), services_(services), answers_(answers) {}

  void run(std::vector<Candidate>& candidates) {
    std::size_t next = 0;
    for (bool first = true; next < candidates.size(); first = false) {
      // Between chunks other messages may take the lock; the next chunk sees what they wrote.
      if (!first) {
        if (auto reopened = reopen_host_state(state_); !reopened) {
          stop_ = not_dispatched(std::move(reopened.error()));
          ledger_current_ = false;
          break;
        }
      }
      const std::vector<Candidate*> chunk = gather_chunk(candidates, next);
      if (chunk.empty()) break;
      if (!print_and_settle(chunk)) break;
    }
    // Untried labels answer as a submit of each would now: from the ledger while it is this
    // message's, else with the failure that ended the batch.
    for (; next < candidates.size(); ++next) {
      const Candidate& label = candidates[next];
      if (ledger_current_) {
        const auto& jobs = state_.ledger.jobs;
        if (const auto stored = jobs.find(label.request.intent_id); stored != jobs.end()) {
          answers_[label.index] =
              answer_repetition(stored->second, label.digest, label.request.printer);
          continue;
        }
      }
      answers_[label.index] = std::unexpected(*stop_);
    }
  }

 private:
  // The next chunk's new labels from `next` on, answering the recorded ones from the ledger.
  std::vector<Candidate*> gather_chunk(std::vector<Candidate>& candidates, std::size_t& next) {
    std::vector<Candidate*> chunk;
    std::size_t pages = 0;
    std::uint64_t chunk_bytes = 0;
    for (; next < candidates.size(); ++next) {
      Candidate& label = candidates[next];
      const auto& jobs = state_.ledger.jobs;
      if (const auto stored = jobs.find(label.request.intent_id); stored != jobs.end()) {
        answers_[label.index] =
            answer_repetition(stored->second, label.digest, label.request.printer);
        continue;
      }
      const std::uint64_t bytes = label.chunk_bytes();
      const std::uint64_t byte_limit = label.raw ? CHUNK_MAX_RAW_BYTES : CHUNK_MAX_PIXEL_BYTES;
      if (!chunk.empty() &&
          (chunk.size() == CHUNK_MAX_LABELS || pages + label.request.copies > CHUNK_MAX_PAGES ||
           chunk_bytes + bytes > byte_limit)) {
        break;
      }
      chunk.push_back(&label);
      pages += label.request.copies;
      chunk_bytes += bytes;
    }
    return chunk;
  }

  // One chunk: a save of its labels DISPATCHING, its job, a save of what became of each. False
  // when the later chunks must not be tried.
  bool print_and_settle(const std::vector<Candidate*>& chunk) {
    // As for a submit, a queue that cannot take printer-language labels refuses them before
    // anything is recorded.
    std::optional<RawDocumentOpened> raw;
    if (chunk.front()->raw) {
      raw = open_raw_guarded(services_, SUBMIT_BATCH_WATCHDOG_LABEL, batch_.printer, batch_.media);
      if (!*raw && raw->error().reach == PrintReach::nothing) {
        stop_ = raw->error().error;
        for (const Candidate* label : chunk) answers_[label->index] = std::unexpected(*stop_);
        return false;
      }
    }
    HostLedger& ledger = state_.ledger;
    const std::uint64_t now = state_.now();
    for (const Candidate* label : chunk) {
      ledger.jobs[label->request.intent_id] =
          dispatching_record(label->request.intent_id, label->digest, batch_.printer, now);
    }
    ledger.updated_at_ms = now;
    // As for a submit, nothing is spooled before its record is on disk.
    if (auto saved = state_.save(); !saved) {
      for (const Candidate* label : chunk) ledger.jobs.erase(label->request.intent_id);
      stop_ = HostError{ErrorCode::PRE_SUBMIT_UNAVAILABLE, std::move(saved.error().message)};
      for (const Candidate* label : chunk) answers_[label->index] = std::unexpected(*stop_);
      return false;
    }

    LabelsOutcome printed = print_chunk(batch_, chunk, services_, raw ? &*raw : nullptr);
    const std::uint64_t settled_at = state_.now();
    std::vector<std::pair<LabelAnswer, bool>> settled;  // the answer, and whether forgotten
    settled.reserve(chunk.size());
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      PrintOutcome label_outcome =
          printed.left_out[i] ? PrintOutcome(std::unexpected(*printed.left_out[i])) : printed.job;
      const bool forgotten = !label_outcome && label_outcome.error().reach == PrintReach::nothing;
      settled.emplace_back(
          record_outcome(ledger, chunk[i]->request.intent_id, std::move(label_outcome), settled_at),
          forgotten);
    }
    const Status saved = state_.save();
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      answers_[chunk[i]->index] =
          answer_after_save(std::move(settled[i].first), settled[i].second, saved);
    }
    if (!saved) {
      // The disk still says DISPATCHING: the next message makes the chunk UNKNOWN.
      ledger_current_ = false;
      stop_ = HostError{ErrorCode::PRE_SUBMIT_UNAVAILABLE, saved.error().message};
      return false;
    }
    // A queue that cannot be opened, or a watchdog that cannot be armed, fails every chunk alike.
    if (!printed.job && printed.job.error().reach == PrintReach::nothing) {
      stop_ = printed.job.error().error;
      return false;
    }
    return true;
  }

  const SubmitBatchRequest& batch_;
  HostState& state_;
  SubmitServices& services_;
  std::vector<std::optional<LabelAnswer>>& answers_;
  std::optional<HostError> stop_;
  // False once the ledger in memory is no longer this message's: its lock was lost, or the disk
  // fell behind it.
  bool ledger_current_ = true;
};

}  // namespace

Result<std::vector<LabelAnswer>> handle_submit_batch(const SubmitBatchRequest& request,
                                                     HostState& state, SubmitServices& services) {
  if (auto whole = check_whole_batch(request); !whole) {
    return std::unexpected(std::move(whole.error()));
  }
  std::vector<std::optional<LabelAnswer>> answers(request.labels.size());
  // Each label is checked on its own, so the checks share the processors.
  std::vector<std::optional<Result<Candidate>>> checked(request.labels.size());
  for_each_index(checked.size(), [&](std::size_t i) { checked[i] = candidate_of(request, i); });
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < checked.size(); ++i) {
    if (!*checked[i]) {
      answers[i] = std::unexpected(std::move(checked[i]->error()));
      continue;
    }
    candidates.push_back(std::move(**checked[i]));
  }
  BatchRun(request, state, services, answers).run(candidates);
  // A printer-language label's answer says what its own submit's would of its size.
  for (const Candidate& label : candidates) {
    if (std::optional<LabelAnswer>& answer = answers[label.index]; label.raw && *answer) {
      (*answer)->geometry = geometry_of(*label.raw);
    }
  }

  std::vector<LabelAnswer> results;
  results.reserve(answers.size());
  for (std::optional<LabelAnswer>& answer : answers) results.push_back(std::move(*answer));
  return results;
}

}  // namespace vantrel
