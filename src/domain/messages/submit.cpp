#include "domain/messages/submit.hpp"

#include "domain/submit/payload_digest.hpp"
#include "domain/submit/raster_payload.hpp"
#include "domain/submit/raw_label.hpp"

namespace vantrel {
namespace {

constexpr std::string_view INTENT_CONFLICT_TEXT =
    "This print-attempt identifier was already used for different output.";
constexpr std::string_view ATTEMPT_FAILED_TEXT =
    "This attempt already failed. Use a deliberate reprint attempt with a new identifier.";
constexpr std::string_view UNKNOWN_OUTCOME_TEXT =
    "This attempt may already be in the operating-system queue. Use a deliberate reprint "
    "attempt instead of resubmitting it.";
constexpr std::string_view INVALID_STATE_TEXT = "The stored print attempt has an invalid state.";
constexpr std::string_view RETRY_STATE_LOST_TEXT =
    "The print job was not submitted, but its retry state could not be saved: ";

// Runs a stretch of print-system calls under a watchdog. Without a watchdog the stretch never
// began: nothing has reached the print system.
template <class Stretch>
std::invoke_result_t<Stretch&> guarded_print(SubmitServices& services, Stretch&& stretch,
                                             const char* watchdog = SUBMIT_WATCHDOG_LABEL) {
  auto outcome = run_guarded(services.watchdogs, watchdog, stretch);
  if (!outcome) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         std::move(outcome.error().message));
  }
  return std::move(*outcome);
}

// Steps that run under the "submit" watchdog: the media's reading, the second decoding, and the
// rendering on the media selected.
PrintOutcome print_under_watchdog(const SubmitRequest& request, std::span<const std::uint8_t> png,
                                  SubmitServices& services) {
  return guarded_print(services, [&]() -> PrintOutcome {
    auto media = media_request_of(request.media);
    if (!media) return std::unexpected(std::move(media.error()));
    auto bitmap = label_image(services, png);
    if (!bitmap) return undecodable_label();
    return print_label(services.printing, request.printer, request.title, *bitmap, request.dpi,
                       request.copies, *media);
  });
}

// The label's geometry checked against the page, then its bytes, once per copy, in one job.
PrintOutcome print_raw_under_watchdog(const SubmitRequest& request, const RawLabel& label,
                                      RawDocumentOpened& document, SubmitServices& services) {
  return guarded_print(services, [&]() -> PrintOutcome {
    if (!document) return std::unexpected(std::move(document.error()));
    const RawLabelCopies copies{&label, request.copies};
    return print_fitting_raw_labels(**document, request.title, {&copies, 1}, request.dpi).job;
  });
}

// Records the new attempt as DISPATCHING, durably, before anything reaches the print system: a
// crash from here on leaves a DISPATCHING record that the next message turns into UNKNOWN, never
// a second print. A failed save leaves the in-memory ledger ahead of the disk, which is dropped
// with the message.
Status record_attempt(const SubmitRequest& request, std::string_view digest, HostState& state) {
  const std::uint64_t now = state.now();
  state.ledger.jobs[request.intent_id] =
      dispatching_record(request.intent_id, digest, request.printer, now);
  state.ledger.updated_at_ms = now;
  if (auto saved = state.save(); !saved) {
    return fail(ErrorCode::PRE_SUBMIT_UNAVAILABLE, std::move(saved.error().message));
  }
  return {};
}

// Records what became of the attempt. The lock is held from the first save to this one, so the
// record is still the one this message wrote.
Result<SubmitAnswer> settle_attempt(const SubmitRequest& request, HostState& state,
                                    PrintOutcome outcome) {
  const bool forgotten = !outcome && outcome.error().reach == PrintReach::nothing;
  Result<SubmitAnswer> answer =
      record_outcome(state.ledger, request.intent_id, std::move(outcome), state.now());
  return answer_after_save(std::move(answer), forgotten, state.save());
}

}  // namespace

std::expected<std::optional<MediaRequest>, PrintFailure> media_request_of(
    const std::optional<std::string>& token) {
  if (!token) return std::nullopt;
  // A token that names no size is refused as every token was before media were selected.
  const std::optional<MediaSize> size = media_size_of_name(*token);
  if (!size) {
    return print_failure(PrintReach::refused, ErrorCode::MEDIA_UNSUPPORTED,
                         std::string(MEDIA_UNSUPPORTED_TEXT));
  }
  return MediaRequest{*token, *size};
}

RawDocumentOpened open_raw_guarded(SubmitServices& services, const char* watchdog,
                                   std::string_view printer,
                                   const std::optional<std::string>& media) {
  return guarded_print(
      services,
      [&]() -> RawDocumentOpened {
        auto selected = media_request_of(media);
        if (!selected) return std::unexpected(std::move(selected.error()));
        return services.printing.open_raw_document(printer, *selected);
      },
      watchdog);
}

LabelsOutcome print_fitting_raw_labels(RawDocument& document, std::string_view title,
                                       std::span<const RawLabelCopies> labels, std::uint32_t dpi) {
  LabelsOutcome outcome{PrintOutcome(0), std::vector<std::optional<PrintFailure>>(labels.size())};
  const RawPage& page = document.page();
  std::vector<RawLabelPages> fitting;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    outcome.left_out[i] =
        check_raw_label_fit(labels[i].label->scan.geometry, dpi, page.size, page.resolutions);
    if (!outcome.left_out[i]) fitting.push_back({labels[i].label->bytes, labels[i].copies});
  }
  outcome.job = fitting.empty() ? PrintOutcome(std::unexpected(*outcome.left_out.front()))
                                : print_raw_labels(document, title, fitting);
  return outcome;
}

LabelGeometry geometry_of(const RawLabel& label) noexcept {
  return label.scan.geometry.declared() ? LabelGeometry::checked : LabelGeometry::undeclared;
}

Result<LabelBitmap> label_image(SubmitServices& services, std::span<const std::uint8_t> png) {
  if (services.printing.takes_encoded_images()) {
    if (auto encoded = encoded_label_image(png)) return std::move(*encoded);
  }
  return services.decode_bitmap(png);
}

std::unexpected<PrintFailure> undecodable_label() {
  return print_failure(PrintReach::refused, ErrorCode::BAD_REQUEST, std::string(UNDECODABLE_TEXT));
}

Result<SubmitAnswer> answer_repetition(const JobRecord& stored, std::string_view digest,
                                       std::string_view printer) {
  // The digest has no separator between queue and media token, so a different queue can
  // collide with the stored digest; a different queue is always different output.
  if (stored.payload_sha256 != digest || stored.printer != printer) {
    // A conflict alone would leave the caller guessing whether the intent's label printed.
    return std::unexpected(HostError{ErrorCode::INTENT_CONFLICT, std::string(INTENT_CONFLICT_TEXT),
                                     std::string(stored_state(stored))});
  }
  switch (stored.state) {
    case AttemptState::SUBMITTED:
    case AttemptState::COMPLETED:
    case AttemptState::OBSERVED:
      return SubmitAnswer{true, stored, std::nullopt};
    case AttemptState::FAILED:
      return fail(ErrorCode::ATTEMPT_FAILED, std::string(ATTEMPT_FAILED_TEXT));
    case AttemptState::DISPATCHING:
    case AttemptState::UNKNOWN:
      return fail(ErrorCode::UNKNOWN_OUTCOME, std::string(UNKNOWN_OUTCOME_TEXT));
    case AttemptState::UNRECOGNISED:
      break;
  }
  return fail(ErrorCode::STATE_CORRUPT, std::string(INVALID_STATE_TEXT));
}

JobRecord dispatching_record(std::string_view intent_id, std::string_view digest,
                             std::string_view printer, std::uint64_t now) {
  JobRecord record;
  record.intent_id = intent_id;
  record.payload_sha256 = digest;
  record.state = AttemptState::DISPATCHING;
  record.printer = printer;
  record.created_at_ms = now;
  record.updated_at_ms = now;
  return record;
}

Result<SubmitAnswer> record_outcome(HostLedger& ledger, const std::string& intent_id,
                                    PrintOutcome outcome, std::uint64_t now) {
  ledger.updated_at_ms = now;
  if (!outcome && outcome.error().reach == PrintReach::nothing) {
    // Nothing reached Windows: forget the attempt so that the same intent_id may print later.
    ledger.jobs.erase(intent_id);
    return std::unexpected(std::move(outcome.error().error));
  }
  JobRecord& record = ledger.jobs.at(intent_id);
  record.updated_at_ms = now;
  if (outcome) {
    record.state = AttemptState::SUBMITTED;
    record.os_job_id = std::to_string(*outcome);
    return SubmitAnswer{false, record, std::nullopt};
  }
  HostError& error = outcome.error().error;
  record.state =
      outcome.error().reach == PrintReach::unknown ? AttemptState::UNKNOWN : AttemptState::FAILED;
  record.error_code = error_code_name(error.code);
  record.error_message = error.message;
  return std::unexpected(std::move(error));
}

Result<SubmitAnswer> answer_after_save(Result<SubmitAnswer> answer, bool forgotten,
                                       const Status& saved) {
  if (saved) return answer;
  if (forgotten) {
    return fail(ErrorCode::UNKNOWN_OUTCOME,
                std::string(RETRY_STATE_LOST_TEXT) + saved.error().message);
  }
  return std::unexpected(saved.error());
}

namespace {

Result<SubmitAnswer> handle_raw_submit(const SubmitRequest& request, RawLanguage language,
                                       HostState& state, SubmitServices& services) {
  auto label =
      verify_raw_payload(language, request.payload, request.dpi, request.printer_settings_allowed);
  if (!label) return std::unexpected(std::move(label.error()));
  const std::string digest = compute_raw_payload_sha256(
      format_of_raw_language(language), label->bytes, request.printer, request.media, request.dpi,
      request.copies, request.printer_settings_allowed);
  const auto with_geometry = [&](Result<SubmitAnswer> answer) {
    if (answer) answer->geometry = geometry_of(*label);
    return answer;
  };

  auto& jobs = state.ledger.jobs;
  if (const auto stored = jobs.find(request.intent_id); stored != jobs.end()) {
    return with_geometry(answer_repetition(stored->second, digest, request.printer));
  }
  // A queue that cannot take the bytes unchanged is refused before anything is recorded.
  RawDocumentOpened document =
      open_raw_guarded(services, SUBMIT_WATCHDOG_LABEL, request.printer, request.media);
  if (!document && document.error().reach == PrintReach::nothing) {
    return std::unexpected(std::move(document.error().error));
  }
  if (auto recorded = record_attempt(request, digest, state); !recorded) {
    return std::unexpected(std::move(recorded.error()));
  }
  return with_geometry(settle_attempt(
      request, state, print_raw_under_watchdog(request, *label, document, services)));
}

}  // namespace

Result<SubmitAnswer> handle_submit(const SubmitRequest& request, HostState& state,
                                   SubmitServices& services) {
  if (auto valid = validate_submit_request(request); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  if (const auto language = raw_language_of_format(request.payload.format)) {
    return handle_raw_submit(request, *language, state, services);
  }
  auto png = verify_raster_payload(request.payload);
  if (!png) return std::unexpected(std::move(png.error()));
  const std::string digest =
      compute_payload_sha256(*png, request.printer, request.media, request.dpi, request.copies);

  auto& jobs = state.ledger.jobs;
  if (const auto stored = jobs.find(request.intent_id); stored != jobs.end()) {
    return answer_repetition(stored->second, digest, request.printer);
  }

  if (auto recorded = record_attempt(request, digest, state); !recorded) {
    return std::unexpected(std::move(recorded.error()));
  }
  return settle_attempt(request, state, print_under_watchdog(request, *png, services));
}

}  // namespace vantrel
