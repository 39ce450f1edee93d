#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/label_printing.hpp"
#include "domain/state/host_state.hpp"
#include "domain/submit/label_bitmap_decoding.hpp"
#include "domain/submit/raw_label.hpp"
#include "domain/submit/submit_request.hpp"
#include "domain/watchdog.hpp"

namespace vantrel {

using BitmapDecoder = Result<LabelBitmap> (*)(std::span<const std::uint8_t> png);

// The seams a submit works through; the decoder is one so that tests can make the second
// decoding fail.
struct SubmitServices {
  PrintSystem& printing;
  Watchdogs& watchdogs;
  BitmapDecoder decode_bitmap = &decode_label_bitmap;
};

inline constexpr const char* SUBMIT_WATCHDOG_LABEL = "submit";

// The texts that name the print system: Windows in the Windows host, generic elsewhere.
// MEDIA_UNSUPPORTED_TEXT answers a media token that is no media name, as every token was
// answered before media were selected.
#ifdef _WIN32
inline constexpr std::string_view MEDIA_UNSUPPORTED_TEXT =
    "Windows media tokens are not supported yet; select the label size in the queue "
    "preferences.";
inline constexpr std::string_view UNDECODABLE_TEXT = "Windows could not decode the PNG label.";
#else
inline constexpr std::string_view MEDIA_UNSUPPORTED_TEXT =
    "Media tokens are not supported yet; select the label size in the print system's queue "
    "settings.";
inline constexpr std::string_view UNDECODABLE_TEXT =
    "The print system could not decode the PNG label.";
#endif

// What a printer-language label's answer says of its size: whether it stated one to check.
enum class LabelGeometry : std::uint8_t { undeclared, checked };

// A submit's answer: the attempt as recorded, and whether it was an earlier attempt's.
struct SubmitAnswer {
  bool duplicate = false;
  JobRecord record;
  std::optional<LabelGeometry> geometry;  // printer-language labels only
};

// The pieces of a submit that a batch of labels shares.

// The media a token asks for: none without a token, MEDIA_UNSUPPORTED (refused) for a token that
// names no size.
[[nodiscard]] std::expected<std::optional<MediaRequest>, PrintFailure> media_request_of(
    const std::optional<std::string>& token);
// The label as its document draws it: its PNG's own rows where the print system takes them,
// else decoded (a second time: the PNG was verified first).
[[nodiscard]] Result<LabelBitmap> label_image(SubmitServices& services,
                                              std::span<const std::uint8_t> png);
// The refusal of a label whose second decoding failed.
[[nodiscard]] std::unexpected<PrintFailure> undecodable_label();
using RawDocumentOpened = std::expected<std::unique_ptr<RawDocument>, PrintFailure>;
// Asks the queue for a printer-language document under the watchdog named `watchdog`: whether
// it takes one at all, and the page and resolutions it prints at. Nothing is spooled yet.
[[nodiscard]] RawDocumentOpened open_raw_guarded(SubmitServices& services, const char* watchdog,
                                                 std::string_view printer,
                                                 const std::optional<std::string>& media);
// One printer-language label of a job, as verified, and its copies.
struct RawLabelCopies {
  const RawLabel* label = nullptr;
  std::uint16_t copies = 0;
};
// Each label's stated geometry checked against the document's page; the labels that fit sent
// as one job, in order. A label that does not fit is left out with its own MEDIA_MISMATCH; when
// none fits, the first one's refusal is the job's and nothing is begun. Arms no watchdog.
[[nodiscard]] LabelsOutcome print_fitting_raw_labels(RawDocument& document, std::string_view title,
                                                     std::span<const RawLabelCopies> labels,
                                                     std::uint32_t dpi);
// The answer's word on a printer-language label's size.
[[nodiscard]] LabelGeometry geometry_of(const RawLabel& label) noexcept;
// The answer to a repeated intent_id, decided from the stored attempt alone.
[[nodiscard]] Result<SubmitAnswer> answer_repetition(const JobRecord& stored,
                                                     std::string_view digest,
                                                     std::string_view printer);
// A new attempt as its first save records it.
[[nodiscard]] JobRecord dispatching_record(std::string_view intent_id, std::string_view digest,
                                           std::string_view printer, std::uint64_t now);
// Applies what became of a recorded attempt to the ledger in memory, and the answer once that is
// saved: SUBMITTED with the job, FAILED or UNKNOWN with the error, or forgotten when nothing
// reached the print system.
[[nodiscard]] Result<SubmitAnswer> record_outcome(HostLedger& ledger, const std::string& intent_id,
                                                  PrintOutcome outcome, std::uint64_t now);
// The answer given the save of the outcome: a failed save is the answer, and a forgotten
// attempt whose forgetting was not saved may be retried only as UNKNOWN_OUTCOME.
[[nodiscard]] Result<SubmitAnswer> answer_after_save(Result<SubmitAnswer> answer, bool forgotten,
                                                     const Status& saved);

// Records the attempt durably before anything reaches Windows, prints it at most once, and
// answers repetitions from the ledger.
[[nodiscard]] Result<SubmitAnswer> handle_submit(const SubmitRequest& request, HostState& state,
                                                 SubmitServices& services);

}  // namespace vantrel
