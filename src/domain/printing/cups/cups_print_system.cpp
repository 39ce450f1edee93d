#include "domain/printing/cups/cups_print_system.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <utility>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "domain/printing/cups/cups_media.hpp"
#include "domain/printing/cups/label_pdf.hpp"

namespace vantrel {
namespace {

// What the values of IPP's printer-state and job-state enumerations say, a row per value with
// its keyword; a value not in its table says nothing.
template <class Meaning, std::size_t N>
using IppEnumMeanings = std::array<std::pair<int, Meaning>, N>;

constexpr IppEnumMeanings<PrintQueueState, 3> PRINTER_STATES{{
    {3, PrintQueueState::idle},      // idle
    {4, PrintQueueState::printing},  // processing
    {5, PrintQueueState::paused},    // stopped
}};

constexpr IppEnumMeanings<JobProgress, 7> JOB_STATES{{
    {3, JobProgress::queued},     // pending
    {4, JobProgress::queued},     // pending-held
    {5, JobProgress::queued},     // processing
    {6, JobProgress::queued},     // processing-stopped
    {7, JobProgress::deleted},    // canceled
    {8, JobProgress::failed},     // aborted
    {9, JobProgress::completed},  // completed
}};

template <class Meaning, std::size_t N>
Meaning meaning_of(const IppEnumMeanings<Meaning, N>& table, int value,
                   Meaning otherwise) noexcept {
  const auto found = std::ranges::find(table, value, &std::pair<int, Meaning>::first);
  return found == table.end() ? otherwise : found->second;
}

// printer-type: the scheduler's default queue.
constexpr int PRINTER_TYPE_DEFAULT = 0x20000;

constexpr double HUNDREDTHS_MM_PER_INCH = 2540.0;
// The MIME types of what the host sends: a label drawn into a PDF, or printer-language bytes
// that the scheduler hands to the device unchanged.
constexpr std::string_view PDF_FORMAT = "application/pdf";
constexpr std::string_view RAW_FORMAT = "application/vnd.cups-raw";
constexpr double POINTS_PER_INCH = 72.0;
// The device grid when the queue reports no resolution.
constexpr int FALLBACK_RESOLUTION_DPI = 300;

// What each use asks of the scheduler: every question a listing, a print or a job lookup needs,
// in one request each.
constexpr std::array<std::string_view, 4> LISTING_ATTRIBUTES = {
    "printer-name", "printer-state", "printer-state-reasons", "printer-is-accepting-jobs"};
constexpr std::array<std::string_view, 4> QUEUE_DEFAULT_MEDIA_ATTRIBUTES = {
    "printer-is-accepting-jobs", "printer-resolution-default", "media-default",
    "media-col-default"};
// With a media of the user's own, the queue's media and their names give its margins.
constexpr std::array<std::string_view, 4> QUEUE_USER_MEDIA_ATTRIBUTES = {
    "printer-is-accepting-jobs", "printer-resolution-default", "media-col-database",
    "media-supported"};
// With a media selected, the queue's media and their names.
constexpr std::array<std::string_view, 4> QUEUE_SELECTED_MEDIA_ATTRIBUTES = {
    "printer-is-accepting-jobs", "printer-resolution-default", "media-col-database",
    "media-supported"};
// A queue's details: its state as the listing reads it, whether it is the scheduler's default
// (printer-type), what it offers, and its defaults.
constexpr std::array<std::string_view, 14> QUEUE_DETAILS_ATTRIBUTES = {
    "document-format-supported",
    "printer-name",
    "printer-state",
    "printer-state-reasons",
    "printer-is-accepting-jobs",
    "printer-type",
    "color-supported",
    "printer-resolution-supported",
    "printer-resolution-default",
    "media-col-database",
    "media-supported",
    "media-col-default",
    "media-default",
    "media-col-ready"};
// A printer-language document: whether the queue takes the bytes unchanged, its resolutions, and
// the page as a label document finds it.
constexpr std::array<std::string_view, 8> QUEUE_RAW_ATTRIBUTES = {"printer-is-accepting-jobs",
                                                                  "document-format-supported",
                                                                  "printer-resolution-supported",
                                                                  "media-col-default",
                                                                  "media-default",
                                                                  "media-col-database",
                                                                  "media-supported",
                                                                  "printer-resolution-default"};
constexpr std::array<std::string_view, 2> JOB_ATTRIBUTES = {"job-state", "job-printer-uri"};

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

// ---- queues

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

CupsPrinterRecord printer_record_of(const IppAttributes& printer) {
  CupsPrinterRecord record;
  if (const auto* name = first_value<std::string>(printer, "printer-name")) record.name = *name;
  if (const auto* state = first_value<int>(printer, "printer-state")) record.state = *state;
  if (const auto* accepting = first_value<bool>(printer, "printer-is-accepting-jobs")) {
    record.accepting_jobs = *accepting;
  }
  if (const auto* reasons = values_of(printer, "printer-state-reasons")) {
    for (const IppValue& reason : *reasons) {
      if (const auto* text = std::get_if<std::string>(&reason)) record.reasons.push_back(*text);
    }
  }
  return record;
}

// ---- jobs

char ascii_lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  c = ascii_lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Whether a printer URI ("ipp://localhost:631/printers/Label%20ZPL") names the queue: its path is
// /printers/ or /classes/ and a name that, percent-decoded, is the queue's without regard to
// ASCII case, as CUPS compares queue names.
bool uri_names_queue(std::string_view uri, std::string_view queue) {
  const std::size_t scheme_end = uri.find("://");
  const std::size_t path_at =
      scheme_end == std::string_view::npos ? scheme_end : uri.find('/', scheme_end + 3);
  if (path_at == std::string_view::npos) return false;
  std::string_view encoded = uri.substr(path_at);
  if (encoded.starts_with("/printers/")) {
    encoded.remove_prefix(10);
  } else if (encoded.starts_with("/classes/")) {
    encoded.remove_prefix(9);
  } else {
    return false;
  }
  std::string name;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && hex_digit(encoded[i + 1]) >= 0 &&
        hex_digit(encoded[i + 2]) >= 0) {
      name.push_back(static_cast<char>(hex_digit(encoded[i + 1]) * 16 + hex_digit(encoded[i + 2])));
      i += 2;
    } else {
      name.push_back(encoded[i]);
    }
  }
  return std::ranges::equal(name, queue, {}, ascii_lower, ascii_lower);
}

Resolution dots_per_inch(const IppResolution& resolution) noexcept {
  if (resolution.per_cm) return {resolution.x * 254 / 100, resolution.y * 254 / 100};
  return {resolution.x, resolution.y};
}

// printer-resolution-default in dots per inch; 0 when not reported.
std::pair<int, int> default_resolution(const IppAttributes& queue) {
  const auto* resolution = first_value<IppResolution>(queue, "printer-resolution-default");
  if (resolution == nullptr) return {0, 0};
  const Resolution dpi = dots_per_inch(*resolution);
  return {dpi.x_dpi, dpi.y_dpi};
}

// Whether two queue names are one, as CUPS compares them: without regard to ASCII case.
bool same_queue(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, {}, ascii_lower, ascii_lower);
}

std::vector<Resolution> supported_resolutions(const IppAttributes& queue) {
  std::vector<Resolution> resolutions;
  if (const auto* values = values_of(queue, "printer-resolution-supported")) {
    for (const IppValue& value : *values) {
      if (const auto* resolution = std::get_if<IppResolution>(&value)) {
        resolutions.push_back(dots_per_inch(*resolution));
      }
    }
  }
  return resolutions;
}

// Whether the queue takes printer-language bytes unchanged: its document-format-supported
// lists the raw type; nullopt when it does not say.
std::optional<bool> takes_raw(const IppAttributes& queue) {
  const auto* formats = values_of(queue, "document-format-supported");
  if (formats == nullptr) return std::nullopt;
  return std::ranges::any_of(*formats, [](const IppValue& value) {
    const auto* format = std::get_if<std::string>(&value);
    return format != nullptr && *format == RAW_FORMAT;
  });
}

PrinterDetails details_of(std::string_view queue, const IppAttributes& answer,
                          const std::optional<UserMedia>& user_media,
                          const std::string& local_default) {
  const CupsPrinterRecord record = printer_record_of(answer);
  PrinterDetails details;
  // CUPS takes a queue name in any bytes; an answer is UTF-8 or the browser cannot read it.
  details.name = valid_utf8(record.name.empty() ? queue : record.name);
  details.state = print_queue_state_from_printer(record);
  // The user's own choice wins over the scheduler's, as cupsGetNamedDest decides.
  const int* type = first_value<int>(answer, "printer-type");
  details.is_default = local_default.empty() ? type && (*type & PRINTER_TYPE_DEFAULT) != 0
                                             : same_queue(local_default, queue);
  const bool* color = first_value<bool>(answer, "color-supported");
  details.color = color && *color;
  details.resolutions = supported_resolutions(answer);
  details.raw = takes_raw(answer);
  if (const auto* resolution = first_value<IppResolution>(answer, "printer-resolution-default")) {
    details.default_resolution = dots_per_inch(*resolution);
  }

  CupsQueueMedia queue_offers = queue_media(answer);
  std::vector<CupsMedia>& offered = queue_offers.offered;
  details.custom_range = queue_offers.custom_range;
  if (auto media = media_without_request(answer, offered, user_media)) {
    details.default_media = listed_name(offered, std::move(*media));
  }
  // CUPS lists as ready, on every queue, the sizes of its own default paper's family (A4 and A5
  // on a 4 x 6 in label printer); only media a device reported in one of its sources is loaded.
  if (const auto* ready = values_of(answer, "media-col-ready")) {
    for (const IppValue& value : *ready) {
      const auto* col = std::get_if<IppCollection>(&value);
      if (col == nullptr || first_value<std::string>(col->members, "media-source") == nullptr) {
        continue;
      }
      CupsQueueMedia loaded = queue_media({IppAttribute{"media-col-database", {*col}}});
      if (!loaded.offered.empty()) {
        std::string name = listed_name(offered, std::move(loaded.offered.front()));
        if (std::ranges::find(details.ready_media, name) == details.ready_media.end()) {
          details.ready_media.push_back(std::move(name));
        }
      }
    }
  }
  details.default_media = valid_utf8(details.default_media);
  for (std::string& name : details.ready_media) name = valid_utf8(name);
  details.media.reserve(offered.size());
  for (const CupsMedia& media : offered) details.media.push_back(printer_media_of(media));
  return details;
}

PrintableArea printable_area_of(const CupsMedia& media, int resolution_x,
                                int resolution_y) noexcept {
  const auto pixels = [](std::int64_t hundredths_mm, int resolution) {
    const std::int64_t value = hundredths_mm * resolution / 2540;
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, 1 << 30));
  };
  PrintableArea area;
  area.resolution = {resolution_x, resolution_y};
  area.width = pixels(std::int64_t{media.width} - media.left - media.right, resolution_x);
  area.height = pixels(std::int64_t{media.length} - media.top - media.bottom, resolution_y);
  return area;
}

// ---- failures

// The failure's description for a message: the system's error text when no answer came because a
// system call failed, else the scheduler's or library's text and the status. The scheduler's
// texts may quote a queue's name in whatever bytes it was given.
std::string detail_of(const CupsReply& reply) {
  if (!reply.answered && reply.os_error != 0) {
    return os_error_text(static_cast<std::uint32_t>(reply.os_error));
  }
  if (!reply.answered) return valid_utf8(reply.text);
  char status[32];
  std::snprintf(status, sizeof status, " (IPP status 0x%04x)", reply.status);
  return valid_utf8(reply.text) + status;
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

std::expected<CupsConnection, CupsReply> connect_within(CupsCalls& calls,
                                                        std::chrono::milliseconds budget) {
  auto connection = calls.connect(std::chrono::steady_clock::now() + budget);
  if (!connection) {
    // A failed connection leaves no errno worth showing ("Bad file descriptor" where no scheduler
    // listens); say what the user can act on.
    connection.error().os_error = 0;
    connection.error().text = "the CUPS print system is not running or cannot be reached";
  }
  return connection;
}

// One job on the scheduler: Create-Job, then the whole document with Send-Document, and
// Cancel-Job when anything fails once the job exists (or the job is given up).
class CupsJob {
 public:
  CupsJob(CupsCalls& calls, std::chrono::milliseconds budget, CupsConnection connection,
          std::string queue)
      : calls_(calls),
        budget_(budget),
        connection_(std::move(connection)),
        queue_(std::move(queue)) {}
  CupsJob(const CupsJob&) = delete;
  CupsJob& operator=(const CupsJob&) = delete;
  ~CupsJob() {
    if (job_id_ != 0 && !finished_) static_cast<void>(cancel());
  }

  std::optional<PrintFailure> create(std::string_view title,
                                     const std::vector<CupsOption>& options) {
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

  PrintOutcome send(std::span<const std::uint8_t> document, std::string_view format) {
    const CupsReply sent = calls_.send_document(connection_, queue_, job_id_, document, format);
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
  // On a connection of its own: the document's may be broken or out of time.
  bool cancel() {
    auto connection = connect_within(calls_, budget_);
    return connection && calls_.cancel_job(*connection, queue_, job_id_).ok();
  }

  CupsCalls& calls_;
  std::chrono::milliseconds budget_;
  CupsConnection connection_;
  std::string queue_;
  std::uint32_t job_id_ = 0;
  bool finished_ = false;
};

// One label job: the pages gathered into one PDF, sent at end.
class CupsLabelDocument final : public LabelDocument {
 public:
  CupsLabelDocument(CupsCalls& calls, std::chrono::milliseconds budget, CupsConnection connection,
                    std::string queue, CupsMedia media, std::pair<int, int> resolution)
      : job_(calls, budget, std::move(connection), std::move(queue)),
        media_(std::move(media)),
        resolution_x_(resolution.first > 0 ? resolution.first : FALLBACK_RESOLUTION_DPI),
        resolution_y_(resolution.second > 0 ? resolution.second : FALLBACK_RESOLUTION_DPI),
        pdf_(points(media_.width), points(media_.length)) {}

  PrintableArea printable_area() override {
    return printable_area_of(media_, resolution_x_, resolution_y_);
  }

  std::optional<PrintFailure> begin(std::string_view title) override {
    std::vector<CupsOption> options;
    if (!media_.name.empty()) options.emplace_back("media", media_.name);
    // The PDF page is the media and the label already sits at its size on it.
    options.emplace_back("print-scaling", "none");
    return job_.create(title, options);
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

  PrintOutcome end() override { return job_.send(pdf_.finish(), PDF_FORMAT); }

 private:
  static double points(int hundredths_mm) noexcept {
    return hundredths_mm * POINTS_PER_INCH / HUNDREDTHS_MM_PER_INCH;
  }

  CupsJob job_;
  CupsMedia media_;
  int resolution_x_;
  int resolution_y_;
  LabelPdf pdf_;
};

// Printer-language bytes gathered and sent as one raw document, which the scheduler passes to
// the device without a filter.
class CupsRawDocument final : public RawDocument {
 public:
  CupsRawDocument(CupsCalls& calls, std::chrono::milliseconds budget, CupsConnection connection,
                  std::string queue, RawPage page)
      : job_(calls, budget, std::move(connection), std::move(queue)), page_(std::move(page)) {}

  const RawPage& page() const override { return page_; }
  std::optional<PrintFailure> begin(std::string_view title) override {
    return job_.create(title, {});
  }
  std::optional<PrintFailure> write(std::span<const std::uint8_t> bytes) override {
    document_.insert(document_.end(), bytes.begin(), bytes.end());
    return std::nullopt;
  }
  PrintOutcome end() override { return job_.send(document_, RAW_FORMAT); }

 private:
  CupsJob job_;
  RawPage page_;
  std::vector<std::uint8_t> document_;
};

MediaSize size_in_um(const CupsMedia& media) noexcept {
  return {media.width * 10, media.length * 10};
}

std::optional<PrintFailure> refused_unless_accepting(const IppAttributes& queue) {
  const auto* accepting = first_value<bool>(queue, "printer-is-accepting-jobs");
  if (accepting == nullptr || !*accepting) {
    return failure_of(print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                                    "The selected print queue is not accepting jobs."));
  }
  return std::nullopt;
}

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
  return meaning_of(PRINTER_STATES, *printer.state, PrintQueueState::unavailable);
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
  auto printers = calls_.get_printers(*connection, LISTING_ATTRIBUTES);
  if (!printers) {
    // A scheduler without queues answers "not found".
    if (printers.error().answered && printers.error().status == IPP_STATUS_NOT_FOUND) return {};
    return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                message_of("The print system could not list its print queues", printers.error()));
  }
  std::vector<QueueStatus> queues;
  queues.reserve(printers->size());
  for (const IppAttributes& attributes : *printers) {
    const CupsPrinterRecord printer = printer_record_of(attributes);
    if (printer.name.empty()) continue;
    // CUPS takes a queue name in any bytes; an answer is UTF-8 or the browser cannot read it.
    queues.push_back(
        QueueStatus{valid_utf8(printer.name), print_queue_state_from_printer(printer)});
  }
  return queues;
}

std::string CupsPrintSystem::default_queue() {
  auto connection = connect();
  if (!connection) return {};
  return valid_utf8(calls_.default_destination(*connection));
}

JobProgress CupsPrintSystem::job_progress(std::string_view queue, std::uint32_t job_id) {
  auto connection = connect();
  if (!connection) return JobProgress::unknown;
  const auto job = calls_.get_job_attributes(*connection, queue, job_id, JOB_ATTRIBUTES);
  if (!job) {
    // Purged from the scheduler's history: the same as a job gone from a Windows queue.
    const bool purged = job.error().answered && job.error().status == IPP_STATUS_NOT_FOUND;
    return purged ? JobProgress::gone : JobProgress::unknown;
  }
  // Job numbers are the scheduler's and start again from 1 when its history is reset: a number
  // that another queue's job holds now is not the record's job, which is gone.
  const auto* printer_uri = first_value<std::string>(*job, "job-printer-uri");
  if (printer_uri == nullptr) return JobProgress::unknown;
  if (!uri_names_queue(*printer_uri, queue)) return JobProgress::gone;
  const auto* state = first_value<int>(*job, "job-state");
  return state ? meaning_of(JOB_STATES, *state, JobProgress::unknown) : JobProgress::unknown;
}

std::optional<UserMedia> CupsPrintSystem::user_media(std::string_view queue) {
  std::string name = user_media_name(calls_.user_options(queue));
  if (name.empty()) return std::nullopt;
  const std::optional<MediaSize> size = size_of_user_media(calls_, name);
  return UserMedia{std::move(name), size};
}

Result<PrinterDetails> CupsPrintSystem::printer_details(std::string_view queue) {
  // Both come from files and the environment, without a request.
  const std::optional<UserMedia> user = user_media(queue);
  const std::string local_default = calls_.local_default_destination();
  auto connection = connect();
  if (!connection) return std::unexpected(queue_not_opened(connection.error()).error().error);
  auto answer = calls_.get_printer_attributes(*connection, queue, QUEUE_DETAILS_ATTRIBUTES);
  if (!answer) return std::unexpected(queue_not_opened(answer.error()).error().error);
  return details_of(queue, *answer, user, local_default);
}

std::expected<std::unique_ptr<LabelDocument>, PrintFailure> CupsPrintSystem::open_label_document(
    std::string_view queue, const std::optional<MediaRequest>& selected) {
  // The user's lpoptions come from files: they decide what the one request asks, unless the job
  // selects its own media.
  const std::optional<UserMedia> user = selected ? std::nullopt : user_media(queue);
  auto connection = connect();
  if (!connection) return queue_not_opened(connection.error());
  std::span<const std::string_view> requested = QUEUE_DEFAULT_MEDIA_ATTRIBUTES;
  if (selected) {
    requested = QUEUE_SELECTED_MEDIA_ATTRIBUTES;
  } else if (user) {
    requested = QUEUE_USER_MEDIA_ATTRIBUTES;
  }
  auto attributes = calls_.get_printer_attributes(*connection, queue, requested);
  if (!attributes) return queue_not_opened(attributes.error());
  if (auto refused = refused_unless_accepting(*attributes)) return std::unexpected(*refused);
  std::optional<CupsMedia> media;
  if (selected) {
    auto page = page_for_request(queue_media(*attributes), *selected);
    if (!page) return std::unexpected(std::move(page.error()));
    media = std::move(*page);
  } else {
    media = media_without_request(*attributes, queue_media(*attributes).offered, user);
  }
  if (!media || media->width <= 0 || media->length <= 0) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         "The print system could not read the selected print queue's paper size.");
  }
  return std::make_unique<CupsLabelDocument>(calls_, request_budget_, std::move(*connection),
                                             std::string(queue), std::move(*media),
                                             default_resolution(*attributes));
}

std::expected<std::unique_ptr<RawDocument>, PrintFailure> CupsPrintSystem::open_raw_document(
    std::string_view queue, const std::optional<MediaRequest>& selected) {
  const std::optional<UserMedia> user = selected ? std::nullopt : user_media(queue);
  auto connection = connect();
  if (!connection) return queue_not_opened(connection.error());
  auto attributes = calls_.get_printer_attributes(*connection, queue, QUEUE_RAW_ATTRIBUTES);
  if (!attributes) return queue_not_opened(attributes.error());
  if (auto refused = refused_unless_accepting(*attributes)) return std::unexpected(*refused);
  if (takes_raw(*attributes) != true) {
    return print_failure(PrintReach::nothing, ErrorCode::SUBMISSION_REJECTED,
                         "The selected print queue does not take printer-language labels "
                         "unchanged (it does not list application/vnd.cups-raw); print to a "
                         "queue set up for the label printer's own language.");
  }
  RawPage page;
  page.resolutions = supported_resolutions(*attributes);
  if (selected) {
    auto media = page_for_request(queue_media(*attributes), *selected);
    if (!media) return std::unexpected(std::move(media.error()));
    // The label is meant for the media named, however the scheduler would turn a page.
    page.size = selected->size;
  } else {
    const std::optional<CupsMedia> media =
        media_without_request(*attributes, queue_media(*attributes).offered, user);
    if (media && media->width > 0 && media->length > 0) page.size = size_in_um(*media);
  }
  return std::make_unique<CupsRawDocument>(calls_, request_budget_, std::move(*connection),
                                           std::string(queue), std::move(page));
}

PrintFailure CupsPrintSystem::label_does_not_fit() const {
  return PrintFailure{
      PrintReach::refused,
      {ErrorCode::MEDIA_MISMATCH,
       "The selected print queue's paper size or orientation does not safely fit this label."}};
}

}  // namespace vantrel
