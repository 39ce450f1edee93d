#include "domain/messages/submit_batch.hpp"

#include <set>
#include <span>
#include <string_view>
#include <utility>

#include "domain/submit/payload_digest.hpp"
#include "domain/submit/raw_label.hpp"

namespace vantrel {
namespace {

constexpr std::string_view LABEL_COUNT_TEXT = "A batch holds 1 to 500 labels.";
constexpr std::string_view REPEATED_INTENT_TEXT =
    "Each label of a batch needs an intent_id of its own.";
constexpr std::string_view MIXED_FORMATS_TEXT = "All labels of a batch must share one format.";
constexpr std::string_view PNG_ONLY_TEXT =
    "A batch takes PNG labels; send ZPL and EPL labels one by one with submit.";

// A valid label, ready to be recorded: its request as a submit of it alone, and its PNG.
struct Candidate {
  std::size_t index = 0;  // in the request
  SubmitRequest request;
  std::vector<std::uint8_t> png;
  std::string digest;
};

// How one chunk's job went: the job's outcome, and each label's own refusal where it was left
// out of the job.
struct ChunkOutcome {
  PrintOutcome job;
  std::vector<std::optional<PrintFailure>> left_out;
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
  // A wave of printer-language labels would be one raw job per chunk; until then it is refused
  // whole, never taken label by label as PNGs that do not decode.
  if (raw_language_of_format(request.labels.front().payload.format)) {
    return fail(ErrorCode::BAD_REQUEST, std::string(PNG_ONLY_TEXT));
  }
  return {};
}

SubmitRequest submit_of(const SubmitBatchRequest& batch, const BatchLabel& label) {
  return SubmitRequest{label.intent_id, batch.printer, batch.title,  label.copies,
                       batch.media,     batch.dpi,     label.payload};
}

// A state that could not be taken again answers as a submit's would: BRIDGE_BUSY asks again
// later, anything else never reached the print system.
HostError not_dispatched(HostError error) {
  if (error.code != ErrorCode::BRIDGE_BUSY) error.code = ErrorCode::PRE_SUBMIT_UNAVAILABLE;
  return error;
}

// The PNG chunk: every label decoded a second time (one that fails is left out alone), then one
// document with a page per copy. The bitmaps live until the job is whole.
ChunkOutcome print_png_chunk(const SubmitBatchRequest& batch, std::span<Candidate* const> chunk,
                             SubmitServices& services) {
  ChunkOutcome outcome{PrintOutcome(0), std::vector<std::optional<PrintFailure>>(chunk.size())};
  auto media = media_request_of(batch.media);
  if (!media) {
    outcome.job = std::unexpected(std::move(media.error()));
    return outcome;
  }
  std::vector<LabelBitmap> bitmaps;
  std::vector<LabelPages> pages;
  std::vector<std::size_t> drawn;  // the chunk's index of each entry of `pages`
  bitmaps.reserve(chunk.size());
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    auto bitmap = services.decode_bitmap(chunk[i]->png);
    if (!bitmap) {
      outcome.left_out[i] = undecodable_label().error();
      continue;
    }
    bitmaps.push_back(std::move(*bitmap));
    pages.push_back(LabelPages{&bitmaps.back(), chunk[i]->request.copies});
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

// The chunk's job under its own watchdog. The labels' format decides the kind of document.
ChunkOutcome print_chunk(const SubmitBatchRequest& batch, std::span<Candidate* const> chunk,
                         SubmitServices& services) {
  auto outcome = run_guarded(services.watchdogs, SUBMIT_BATCH_WATCHDOG_LABEL,
                             [&] { return print_png_chunk(batch, chunk, services); });
  // Without a watchdog the stretch never began: nothing has reached the print system.
  if (!outcome) {
    return ChunkOutcome{print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
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
    std::uint64_t pixel_bytes = 0;
    for (; next < candidates.size(); ++next) {
      Candidate& label = candidates[next];
      const auto& jobs = state_.ledger.jobs;
      if (const auto stored = jobs.find(label.request.intent_id); stored != jobs.end()) {
        answers_[label.index] =
            answer_repetition(stored->second, label.digest, label.request.printer);
        continue;
      }
      const std::uint64_t bytes =
          std::uint64_t{4} * label.request.payload.width_px * label.request.payload.height_px;
      if (!chunk.empty() &&
          (chunk.size() == CHUNK_MAX_LABELS || pages + label.request.copies > CHUNK_MAX_PAGES ||
           pixel_bytes + bytes > CHUNK_MAX_PIXEL_BYTES)) {
        break;
      }
      chunk.push_back(&label);
      pages += label.request.copies;
      pixel_bytes += bytes;
    }
    return chunk;
  }

  // One chunk: a save of its labels DISPATCHING, its job, a save of what became of each. False
  // when the later chunks must not be tried.
  bool print_and_settle(const std::vector<Candidate*>& chunk) {
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

    ChunkOutcome printed = print_chunk(batch_, chunk, services_);
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
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < request.labels.size(); ++i) {
    SubmitRequest single = submit_of(request, request.labels[i]);
    if (auto valid = validate_submit_request(single); !valid) {
      answers[i] = std::unexpected(std::move(valid.error()));
      continue;
    }
    auto png = verify_raster_payload(single.payload);
    if (!png) {
      answers[i] = std::unexpected(std::move(png.error()));
      continue;
    }
    std::string digest =
        compute_payload_sha256(*png, single.printer, single.media, single.dpi, single.copies);
    single.payload.base64.clear();  // verified; only the PNG is needed from here on
    candidates.push_back(Candidate{i, std::move(single), std::move(*png), std::move(digest)});
  }
  BatchRun(request, state, services, answers).run(candidates);

  std::vector<LabelAnswer> results;
  results.reserve(answers.size());
  for (std::optional<LabelAnswer>& answer : answers) results.push_back(std::move(*answer));
  return results;
}

}  // namespace vantrel
