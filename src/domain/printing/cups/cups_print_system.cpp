#include "domain/printing/cups/cups_print_system.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "base/os_error.hpp"
#include "domain/printing/cups/label_pdf.hpp"

namespace vantrel {
namespace {

constexpr int PRINTER_STATE_IDLE = 3;
constexpr int PRINTER_STATE_PROCESSING = 4;
constexpr int PRINTER_STATE_STOPPED = 5;

constexpr int JOB_STATE_PENDING = 3;
constexpr int JOB_STATE_STOPPED = 6;  // 4 held and 5 processing lie between
constexpr int JOB_STATE_CANCELED = 7;
constexpr int JOB_STATE_ABORTED = 8;
constexpr int JOB_STATE_COMPLETED = 9;

constexpr double HUNDREDTHS_MM_PER_INCH = 2540.0;
constexpr double POINTS_PER_INCH = 72.0;

// Reasons without a severity suffix that describe the queue's state, not a fault of its device;
// every other suffix-less reason counts as an error, as IPP says it must.
constexpr std::array<std::string_view, 8> STATE_ONLY_REASONS = {"none",
                                                                "paused",
                                                                "moving-to-paused",
                                                                "hold-new-jobs",
                                                                "shutdown",
                                                                "printer-restarted",
                                                                "connecting-to-device",
                                                                "cups-waiting-for-job-completed"};

std::string_view without_severity(std::string_view reason) noexcept {
  for (const std::string_view suffix : {"-report", "-warning", "-error"}) {
    if (reason.ends_with(suffix)) return reason.substr(0, reason.size() - suffix.size());
  }
  return reason;
}

bool is_error_reason(std::string_view reason) noexcept {
  if (reason.ends_with("-error")) return true;
  if (reason.ends_with("-report") || reason.ends_with("-warning")) return false;
  return std::ranges::find(STATE_ONLY_REASONS, reason) == STATE_ONLY_REASONS.end();
}

// The failure's description for a message: the system's error text when no answer came because a
// system call failed, else the library's text and the scheduler's status.
std::string detail_of(const CupsReply& reply) {
  if (!reply.answered && reply.os_error != 0) {
    return os_error_text(static_cast<std::uint32_t>(reply.os_error));
  }
  if (!reply.answered) return reply.text;
  char status[32];
  std::snprintf(status, sizeof status, " (IPP status 0x%04x)", reply.status);
  return reply.text + status;
}

std::string message_of(std::string_view fixed_text, const CupsReply& reply) {
  return std::string(fixed_text) + ": " + detail_of(reply);
}

std::unexpected<PrintFailure> queue_not_opened(const CupsReply& reply) {
  return print_failure(
      PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
      message_of("The print system could not open the selected print queue", reply));
}

std::unexpected<PrintFailure> unknown_outcome(std::string_view text, const CupsReply& reply) {
  return print_failure(PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME, message_of(text, reply));
}

std::optional<PrintFailure> failure_of(std::unexpected<PrintFailure> failure) {
  return std::move(failure.error());
}

std::expected<CupsConnection, CupsReply> connect_within(CupsCalls& calls,
                                                        std::chrono::milliseconds budget) {
  return calls.connect(std::chrono::steady_clock::now() + budget);
}

// One label job: Create-Job at begin, the pages gathered into one PDF, Send-Document at end, and
// Cancel-Job when anything fails once the job exists.
class CupsLabelDocument final : public LabelDocument {
 public:
  CupsLabelDocument(CupsCalls& calls, std::chrono::milliseconds budget, CupsConnection connection,
                    std::string queue, CupsMedia media, int resolution_x, int resolution_y)
      : calls_(calls),
        budget_(budget),
        connection_(std::move(connection)),
        queue_(std::move(queue)),
        media_(std::move(media)),
        resolution_x_(resolution_x > 0 ? resolution_x : FALLBACK_RESOLUTION_DPI),
        resolution_y_(resolution_y > 0 ? resolution_y : FALLBACK_RESOLUTION_DPI),
        pdf_(points(media_.width), points(media_.length)) {}
  CupsLabelDocument(const CupsLabelDocument&) = delete;
  CupsLabelDocument& operator=(const CupsLabelDocument&) = delete;
  ~CupsLabelDocument() override {
    if (job_id_ != 0 && !finished_) static_cast<void>(cancel());
  }

  PrintableArea printable_area() override {
    return printable_area_of(media_, resolution_x_, resolution_y_);
  }

  std::optional<PrintFailure> begin(std::string_view title) override {
    std::vector<CupsOption> options;
    if (!media_.name.empty()) options.emplace_back("media", media_.name);
    // The PDF page is the media and the label already sits at its size on it.
    options.emplace_back("print-scaling", "none");
    auto created = calls_.create_job(connection_, queue_, title, options);
    if (!created) {
      const CupsReply& reply = created.error();
      if (!reply.answered) {
        return failure_of(unknown_outcome(
            "The print system may have created the print job but did not answer", reply));
      }
      if (reply.status == IPP_STATUS_NOT_FOUND || reply.status == IPP_STATUS_NOT_ACCEPTING_JOBS) {
        return failure_of(queue_not_opened(reply));
      }
      return failure_of(
          print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
                        message_of("The print system rejected the print job", reply)));
    }
    if (*created == 0) {
      return failure_of(unknown_outcome("The print system created a print job without a number",
                                        CupsReply{true, 0, "no job-id", 0}));
    }
    job_id_ = *created;
    return std::nullopt;
  }

  std::optional<PrintFailure> draw_page(const LabelBitmap& bitmap,
                                        const LabelPlacement& placement) override {
    const double width = placement.width * POINTS_PER_INCH / resolution_x_;
    const double height = placement.height * POINTS_PER_INCH / resolution_y_;
    const double left = points(media_.left) + placement.x * POINTS_PER_INCH / resolution_x_;
    const double top = points(media_.top) + placement.y * POINTS_PER_INCH / resolution_y_;
    pdf_.add_page(bitmap, PdfBox{left, points(media_.length) - top - height, width, height});
    return std::nullopt;
  }

  PrintOutcome end() override {
    const std::vector<std::uint8_t> pdf = pdf_.finish();
    const CupsReply sent = calls_.send_document(connection_, queue_, job_id_, pdf);
    finished_ = true;
    if (sent.ok()) return job_id_;
    // Only a document the scheduler answered with a refusal is certainly not printing; one
    // whose answer was lost may be printing already, cancelled or not.
    if (cancel() && sent.answered) {
      return print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
                           message_of("The print system rejected the label and its print job was "
                                      "cancelled",
                                      sent));
    }
    return unknown_outcome(
        "The print system may have queued the label but did not acknowledge the completed "
        "document",
        sent);
  }

 private:
  static double points(int hundredths_mm) noexcept {
    return hundredths_mm * POINTS_PER_INCH / HUNDREDTHS_MM_PER_INCH;
  }

  // On a connection of its own: the document's may be broken or out of time.
  bool cancel() {
    auto connection = connect_within(calls_, budget_);
    return connection && calls_.cancel_job(*connection, queue_, job_id_).ok();
  }

  CupsCalls& calls_;
  std::chrono::milliseconds budget_;
  CupsConnection connection_;
  std::string queue_;
  CupsMedia media_;
  int resolution_x_;
  int resolution_y_;
  LabelPdf pdf_;
  std::uint32_t job_id_ = 0;
  bool finished_ = false;
};

}  // namespace

PrintQueueState print_queue_state_from_printer(const CupsPrinterRecord& printer) noexcept {
  if (!printer.state || printer.accepting_jobs != true) return PrintQueueState::unavailable;
  const auto any_reason = [&](auto predicate) {
    return std::ranges::any_of(printer.reasons,
                               [&](const std::string& reason) { return predicate(reason); });
  };
  if (any_reason([](std::string_view r) { return without_severity(r) == "offline"; })) {
    return PrintQueueState::offline;
  }
  if (any_reason(is_error_reason)) return PrintQueueState::error;
  switch (*printer.state) {
    case PRINTER_STATE_STOPPED:
      return PrintQueueState::paused;
    case PRINTER_STATE_PROCESSING:
      return PrintQueueState::printing;
    case PRINTER_STATE_IDLE:
      return PrintQueueState::idle;
    default:
      return PrintQueueState::unavailable;
  }
}

JobProgress job_progress_from_state(int job_state) noexcept {
  if (job_state >= JOB_STATE_PENDING && job_state <= JOB_STATE_STOPPED) return JobProgress::queued;
  switch (job_state) {
    case JOB_STATE_CANCELED:
      return JobProgress::deleted;
    case JOB_STATE_ABORTED:
      return JobProgress::failed;
    case JOB_STATE_COMPLETED:
      return JobProgress::completed;
    default:
      return JobProgress::unknown;
  }
}

std::optional<CupsMedia> label_media(const CupsQueueDescription& queue) {
  if (!queue.lpoptions_media_name.empty()) return queue.lpoptions_media;
  return queue.default_media;
}

PrintableArea printable_area_of(const CupsMedia& media, int resolution_x,
                                int resolution_y) noexcept {
  const auto pixels = [](std::int64_t hundredths_mm, int resolution) {
    const std::int64_t value = hundredths_mm * resolution / 2540;
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, 1 << 30));
  };
  PrintableArea area;
  area.resolution_x = resolution_x;
  area.resolution_y = resolution_y;
  area.width = pixels(std::int64_t{media.width} - media.left - media.right, resolution_x);
  area.height = pixels(std::int64_t{media.length} - media.top - media.bottom, resolution_y);
  return area;
}

std::expected<CupsConnection, CupsReply> CupsPrintSystem::connect() const {
  return connect_within(calls_, request_budget_);
}

Result<std::vector<QueueStatus>> CupsPrintSystem::queues() {
  auto connection = connect();
  if (!connection) {
    return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                message_of("The print system could not list its print queues", connection.error()));
  }
  auto printers = calls_.get_printers(*connection);
  if (!printers) {
    // A scheduler without queues answers "not found".
    if (printers.error().answered && printers.error().status == IPP_STATUS_NOT_FOUND) return {};
    return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                message_of("The print system could not list its print queues", printers.error()));
  }
  std::vector<QueueStatus> queues;
  queues.reserve(printers->size());
  for (CupsPrinterRecord& printer : *printers) {
    if (printer.name.empty()) continue;
    const PrintQueueState state = print_queue_state_from_printer(printer);
    queues.push_back(QueueStatus{std::move(printer.name), state});
  }
  return queues;
}

std::string CupsPrintSystem::default_queue() {
  auto connection = connect();
  if (!connection) return {};
  return calls_.default_destination(*connection);
}

JobProgress CupsPrintSystem::job_progress(std::string_view queue, std::uint32_t job_id) {
  auto connection = connect();
  if (!connection) return JobProgress::unknown;
  const auto state = calls_.job_state(*connection, queue, job_id);
  if (state) return job_progress_from_state(*state);
  // Purged from the scheduler's history: the same as a job gone from a Windows queue.
  if (state.error().answered && state.error().status == IPP_STATUS_NOT_FOUND) {
    return JobProgress::gone;
  }
  return JobProgress::unknown;
}

std::expected<std::unique_ptr<LabelDocument>, PrintFailure> CupsPrintSystem::open_label_document(
    std::string_view queue) {
  auto connection = connect();
  if (!connection) return queue_not_opened(connection.error());
  auto description = calls_.describe_queue(*connection, queue);
  if (!description) return queue_not_opened(description.error());
  if (!description->accepting_jobs) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         "The selected print queue is not accepting jobs.");
  }
  std::optional<CupsMedia> media = label_media(*description);
  if (!media || media->width <= 0 || media->length <= 0) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         "The print system could not read the selected print queue's paper size.");
  }
  return std::make_unique<CupsLabelDocument>(calls_, request_budget_, std::move(*connection),
                                             std::string(queue), std::move(*media),
                                             description->resolution_x, description->resolution_y);
}

PrintFailure CupsPrintSystem::label_does_not_fit() const {
  return PrintFailure{
      PrintReach::refused,
      {ErrorCode::MEDIA_MISMATCH,
       "The selected print queue's paper size or orientation does not safely fit this label."}};
}

}  // namespace vantrel
