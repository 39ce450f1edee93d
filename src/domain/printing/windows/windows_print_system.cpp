#include "domain/printing/windows/windows_print_system.hpp"

#include <algorithm>
#include <span>

#include "base/os_error.hpp"
#include "base/utf.hpp"
#include "domain/printing/windows/printer_settings.hpp"
#include "domain/printing/windows/queue_papers.hpp"
#include "domain/printing/windows/raw_datatype.hpp"

namespace vantrel {
namespace {

// ---- queues

constexpr std::uint32_t PRINTER_STATUS_PAUSED_BIT = 0x1;
constexpr std::uint32_t PRINTER_STATUS_OFFLINE_BIT = 0x80;

constexpr std::uint32_t ENUM_LEVEL = 4;         // PRINTER_INFO_4W: names only
constexpr std::uint32_t STATUS_LEVEL = 6;       // PRINTER_INFO_6: the status word only
constexpr std::uint32_t STATUS_WORD_BYTES = 4;  // sizeof(PRINTER_INFO_6)

// RPC_S_SERVER_UNAVAILABLE: the spooler service is stopped, or its endpoint cannot be reached.
constexpr std::uint32_t SPOOLER_UNREACHABLE_CODE = 1722;

std::unexpected<HostError> enumeration_error(std::uint32_t last_error) {
  // "The RPC server is unavailable" alone does not tell a user that printing is switched off.
  const std::string_view text =
      last_error == SPOOLER_UNREACHABLE_CODE
          ? "The Windows print spooler is not running or cannot be reached"
          : "Windows could not enumerate print queues";
  return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE, os_error_message(text, last_error));
}

// Length of a name in the spooler's reply, or npos when no terminator lies within the units we
// accept and within the buffer the spooler filled (a name running past it would be read out of
// bounds).
std::size_t bounded_name_length(const char16_t* name, std::span<const std::byte> filled) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(name);
  const auto begin = reinterpret_cast<std::uintptr_t>(filled.data());
  if (at < begin || at >= begin + filled.size()) return std::u16string_view::npos;
  const std::size_t units =
      std::min((begin + filled.size() - at) / sizeof(char16_t), MAX_QUEUE_NAME_UNITS);
  for (std::size_t i = 0; i < units; ++i) {
    if (name[i] == u'\0') return i;
  }
  return std::u16string_view::npos;
}

// The state of an open queue; "unavailable" when its status cannot be read.
PrintQueueState read_printer_state(Spooler& spooler, const PrinterHandle& printer) {
  const GetPrinterReply sizing = spooler.get_printer(printer, STATUS_LEVEL, nullptr, 0);
  if (sizing.needed < STATUS_WORD_BYTES) return PrintQueueState::unavailable;
  SpoolerBuffer buffer(sizing.needed);
  const GetPrinterReply filling =
      spooler.get_printer(printer, STATUS_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return PrintQueueState::unavailable;
  return print_queue_state_from_status(filling.status);
}

// The state of one queue; "unavailable" when it cannot be opened or its status cannot be read.
PrintQueueState read_queue_state(Spooler& spooler, const std::u16string& name) {
  const auto printer = spooler.open_printer(name);
  if (!printer) return PrintQueueState::unavailable;
  return read_printer_state(spooler, *printer);
}

// ---- jobs

constexpr std::uint32_t JOB_STATUS_PRINTED_BIT = 0x80;
constexpr std::uint32_t JOB_STATUS_DELETED_BIT = 0x100;
constexpr std::uint32_t JOB_STATUS_COMPLETE_BIT = 0x1000;
// What the spooler says about a job number it does not (or no longer) know.
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr std::uint32_t JOB_INFO_LEVEL = 1;

JobProgress failed_job_query(std::uint32_t last_error) noexcept {
  return last_error == ERROR_INVALID_PARAMETER_CODE ? JobProgress::gone : JobProgress::unknown;
}

// ---- label documents

// GetDeviceCaps indices.
constexpr int CAPS_HORZRES = 8;
constexpr int CAPS_VERTRES = 10;
constexpr int CAPS_LOGPIXELSX = 88;
constexpr int CAPS_LOGPIXELSY = 90;
constexpr int CAPS_PHYSICALWIDTH = 110;
constexpr int CAPS_PHYSICALHEIGHT = 111;
constexpr int CAPS_PHYSICALOFFSETX = 112;
constexpr int CAPS_PHYSICALOFFSETY = 113;

constexpr std::string_view OPEN_QUEUE_TEXT = "Windows could not open the selected print queue";

// Device pixels at a resolution as micrometres; 0 when the device tells no resolution.
std::int32_t micrometres(int pixels, int dpi) noexcept {
  constexpr std::int64_t UM_PER_INCH = 25'400;
  if (pixels <= 0 || dpi <= 0) return 0;
  return static_cast<std::int32_t>(
      std::min<std::int64_t>((pixels * UM_PER_INCH + dpi / 2) / dpi, INT32_MAX));
}

// The page a device context prints on, as its device tells it.
struct DevicePage {
  Resolution resolution;
  MediaSize size;
  MediaArea printable;
};

DevicePage read_device_page(PrintDevices& devices, const DeviceContext& dc) {
  DevicePage page;
  const auto caps = [&](int index) { return devices.get_device_caps(dc, index); };
  page.resolution = {caps(CAPS_LOGPIXELSX), caps(CAPS_LOGPIXELSY)};
  const auto x_um = [&](int pixels) { return micrometres(pixels, page.resolution.x_dpi); };
  const auto y_um = [&](int pixels) { return micrometres(pixels, page.resolution.y_dpi); };
  page.size = {x_um(caps(CAPS_PHYSICALWIDTH)), y_um(caps(CAPS_PHYSICALHEIGHT))};
  page.printable = {x_um(caps(CAPS_PHYSICALOFFSETX)), y_um(caps(CAPS_PHYSICALOFFSETY)),
                    x_um(caps(CAPS_HORZRES)), y_um(caps(CAPS_VERTRES))};
  return page;
}

constexpr std::uint32_t BITMAP_COMPRESSION_RGB = 0;  // BI_RGB
constexpr std::uint32_t DIB_USAGE_RGB_COLORS = 0;    // DIB_RGB_COLORS
constexpr std::uint32_t RASTER_OP_SRCCOPY = 0x00CC0020;
constexpr int STRETCH_GDI_ERROR = -1;  // GDI_ERROR

std::unexpected<PrintFailure> unknown_outcome(std::string_view text, std::uint32_t last_error) {
  return print_failure(PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME,
                       os_error_message(text, last_error));
}

// A GDI document on one device context. The context is deleted when the document goes, after
// AbortDoc when it was started and not finished.
class GdiLabelDocument final : public LabelDocument {
 public:
  GdiLabelDocument(PrintDevices& devices, DeviceContext dc)
      : devices_(devices), dc_(std::move(dc)) {}
  GdiLabelDocument(const GdiLabelDocument&) = delete;
  GdiLabelDocument& operator=(const GdiLabelDocument&) = delete;
  ~GdiLabelDocument() override {
    if (started_ && !finished_) devices_.abort_doc(dc_);
  }

  PrintableArea printable_area() override {
    PrintableArea area;
    area.resolution = {devices_.get_device_caps(dc_, CAPS_LOGPIXELSX),
                       devices_.get_device_caps(dc_, CAPS_LOGPIXELSY)};
    area.width = devices_.get_device_caps(dc_, CAPS_HORZRES);
    area.height = devices_.get_device_caps(dc_, CAPS_VERTRES);
    return area;
  }

  std::optional<PrintFailure> begin(std::string_view title) override {
    const std::u16string document_name = utf8_to_utf16(title);
    const GdiReply started = devices_.start_doc(dc_, label_doc_info(document_name));
    if (started.value <= 0) {
      return failure_of(
          print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
                        os_error_message("Windows rejected the print job", started.last_error)));
    }
    started_ = true;
    job_number_ = static_cast<std::uint32_t>(started.value);
    return std::nullopt;
  }

  std::optional<PrintFailure> draw_page(const LabelBitmap& bitmap,
                                        const LabelPlacement& placement) override {
    // The device does the scaling from the label's own pixels. A label of pure black and
    // white goes as one bit a pixel: the same page, a 32nd of the data for the driver.
    if (&bitmap != drawn_) {
      drawn_ = &bitmap;
      bilevel_ = bilevel_dib(bitmap);
      info_ = bilevel_ ? bilevel_->info : label_bitmap_info(bitmap);
    }
    StretchDibCall draw;
    draw.dest_x = placement.x;
    draw.dest_y = placement.y;
    draw.dest_width = placement.width;
    draw.dest_height = placement.height;
    draw.src_width = static_cast<std::int32_t>(bitmap.width);
    draw.src_height = static_cast<std::int32_t>(bitmap.height);
    draw.bits = bilevel_ ? static_cast<const void*>(bilevel_->bits.data()) : bitmap.pixels.get();
    draw.info = &info_;
    draw.usage = DIB_USAGE_RGB_COLORS;
    draw.rop = RASTER_OP_SRCCOPY;

    const GdiReply page = devices_.start_page(dc_);
    if (page.value <= 0) {
      return failure_of(unknown_outcome("Windows could not start the label page", page.last_error));
    }
    const GdiReply drawn = devices_.stretch_dib_bits(dc_, draw);
    if (drawn.value == 0 || drawn.value == STRETCH_GDI_ERROR) {
      return failure_of(unknown_outcome("Windows could not render the label to the print queue",
                                        drawn.last_error));
    }
    const GdiReply ended = devices_.end_page(dc_);
    if (ended.value <= 0) {
      return failure_of(
          unknown_outcome("Windows could not finish the label page", ended.last_error));
    }
    return std::nullopt;
  }

  PrintOutcome end() override {
    const GdiReply finished = devices_.end_doc(dc_);
    if (finished.value <= 0) {
      return unknown_outcome(
          "Windows may have queued the label but did not acknowledge the completed document",
          finished.last_error);
    }
    finished_ = true;
    return job_number_;
  }

 private:
  PrintDevices& devices_;
  DeviceContext dc_;
  // The last label drawn, as the device gets it: a document's labels live until it ends.
  const LabelBitmap* drawn_ = nullptr;
  std::optional<BilevelDib> bilevel_;
  LabelBitmapInfo info_;
  bool started_ = false;
  bool finished_ = false;
  std::uint32_t job_number_ = 0;
};

// Printer-language bytes written through the spooler unchanged, in the queue's datatype. The
// printer handle is the document's; a begun document that was not ended is aborted.
class SpoolerRawDocument final : public RawDocument {
 public:
  SpoolerRawDocument(Spooler& spooler, PrinterHandle printer, std::u16string datatype, RawPage page)
      : spooler_(spooler),
        printer_(std::move(printer)),
        datatype_(std::move(datatype)),
        page_(std::move(page)) {}
  SpoolerRawDocument(const SpoolerRawDocument&) = delete;
  SpoolerRawDocument& operator=(const SpoolerRawDocument&) = delete;
  ~SpoolerRawDocument() override {
    if (started_ && !finished_) spooler_.abort_printer(printer_);
  }

  const RawPage& page() const override { return page_; }

  std::optional<PrintFailure> begin(std::string_view title) override {
    const auto job = spooler_.start_doc_printer(printer_, utf8_to_utf16(title), datatype_);
    if (!job) {
      return failure_of(
          print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
                        os_error_message("Windows rejected the print job", job.error())));
    }
    started_ = true;
    job_number_ = *job;
    return std::nullopt;
  }

  std::optional<PrintFailure> write(std::span<const std::uint8_t> bytes) override {
    // WritePrinter may take part of what it is given: the rest is written again until all is.
    while (!bytes.empty()) {
      const std::span<const std::uint8_t> part =
          bytes.first(std::min<std::size_t>(bytes.size(), MAX_WRITE_BYTES));
      const WritePrinterReply reply = spooler_.write_printer(printer_, part);
      const std::size_t taken = std::min<std::size_t>(reply.written, part.size());
      accepted_ += taken;
      if (!reply.ok || taken == 0) {
        // Before the first byte was taken the aborted job prints nothing; after it, some of the
        // label may be with the device already.
        if (accepted_ == 0) {
          return failure_of(print_failure(
              PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
              os_error_message("Windows did not take the label's bytes", reply.last_error)));
        }
        return failure_of(
            unknown_outcome("Windows took only part of the label's bytes", reply.last_error));
      }
      bytes = bytes.subspan(taken);
    }
    return std::nullopt;
  }

  PrintOutcome end() override {
    const SpoolerReply ended = spooler_.end_doc_printer(printer_);
    if (!ended.ok) {
      return unknown_outcome(
          "Windows may have queued the label but did not acknowledge the completed document",
          ended.last_error);
    }
    finished_ = true;
    return job_number_;
  }

 private:
  // One WritePrinter call takes a 32-bit count.
  static constexpr std::size_t MAX_WRITE_BYTES = 1u << 30;

  Spooler& spooler_;
  PrinterHandle printer_;
  std::u16string datatype_;
  RawPage page_;
  bool started_ = false;
  bool finished_ = false;
  std::uint32_t job_number_ = 0;
  std::uint64_t accepted_ = 0;
};

}  // namespace

PrintQueueState print_queue_state_from_status(std::uint32_t status) noexcept {
  if (status & PRINTER_STATUS_PAUSED_BIT) return PrintQueueState::paused;
  if (status & PRINTER_STATUS_OFFLINE_BIT) return PrintQueueState::offline;
  if (status & PRINTER_PROBLEM_MASK) return PrintQueueState::error;
  if (status & PRINTER_BUSY_MASK) return PrintQueueState::printing;
  return PrintQueueState::idle;
}

JobProgress job_progress_from_status(std::uint32_t status) noexcept {
  // Deleted wins over printed: a job being removed tells nothing certain about its output.
  if (status & JOB_STATUS_DELETED_BIT) return JobProgress::deleted;
  if (status & (JOB_STATUS_PRINTED_BIT | JOB_STATUS_COMPLETE_BIT)) return JobProgress::completed;
  return JobProgress::queued;
}

LabelBitmapInfo label_bitmap_info(const LabelBitmap& bitmap) noexcept {
  LabelBitmapInfo info;
  info.size = 40;
  info.width = static_cast<std::int32_t>(bitmap.width);
  info.height = -static_cast<std::int32_t>(bitmap.height);  // negative: rows run top-down
  info.planes = 1;
  info.bit_count = 32;
  info.compression = BITMAP_COMPRESSION_RGB;
  info.size_image = static_cast<std::uint32_t>(bitmap.size_bytes());
  return info;
}

std::optional<BilevelDib> bilevel_dib(const LabelBitmap& bitmap) {
  const std::size_t stride = (std::size_t{bitmap.width} + 31) / 32 * 4;
  BilevelDib dib;
  dib.bits.assign(stride * bitmap.height, 0);
  const std::uint8_t* pixel = bitmap.pixels.get();
  for (std::uint32_t y = 0; y < bitmap.height; ++y) {
    std::uint8_t* row = dib.bits.data() + y * stride;
    for (std::uint32_t x = 0; x < bitmap.width; ++x, pixel += 4) {
      const bool black = pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0;
      const bool white = pixel[0] == 0xFF && pixel[1] == 0xFF && pixel[2] == 0xFF;
      if (!black && !white) return std::nullopt;
      if (white) row[x / 8] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
    }
  }
  dib.info = label_bitmap_info(bitmap);
  dib.info.bit_count = 1;
  dib.info.size_image = static_cast<std::uint32_t>(dib.bits.size());
  dib.info.clr_used = 2;
  dib.info.colours = {{{0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0}}};
  return dib;
}

LabelDocInfo label_doc_info(const std::u16string& title) noexcept {
  LabelDocInfo doc;
  doc.size = 40;
  doc.doc_name = title.c_str();
  return doc;
}

Result<std::vector<QueueStatus>> WindowsPrintSystem::queues() {
  const EnumPrintersReply sizing = spooler_.enum_printers(QUEUE_ENUM_FLAGS, ENUM_LEVEL, nullptr, 0);
  if (sizing.needed == 0) {
    if (!sizing.ok) return enumeration_error(sizing.last_error);
    return std::vector<QueueStatus>{};
  }
  SpoolerBuffer buffer(sizing.needed);
  const EnumPrintersReply filling =
      spooler_.enum_printers(QUEUE_ENUM_FLAGS, ENUM_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return enumeration_error(filling.last_error);

  std::vector<QueueStatus> queues;
  if (filling.returned == 0) return queues;
  queues.reserve(filling.names.size());
  for (const char16_t* raw_name : filling.names) {
    if (raw_name == nullptr) continue;
    const std::size_t length = bounded_name_length(raw_name, {buffer.data(), sizing.needed});
    if (length == std::u16string_view::npos) {
      return fail(ErrorCode::PRINT_SYSTEM_UNAVAILABLE,
                  "Windows returned an invalid print-queue name.");
    }
    std::string name = utf16_to_utf8(std::u16string_view(raw_name, length));
    if (name.empty()) continue;
    // Opened by the name we report, so that listing and printing agree on what it means.
    const PrintQueueState state = read_queue_state(spooler_, utf8_to_utf16(name));
    queues.push_back(QueueStatus{std::move(name), state});
  }
  return queues;
}

std::string WindowsPrintSystem::default_queue() {
  const GetDefaultPrinterReply sizing = spooler_.get_default_printer(nullptr, 0);
  if (sizing.count == 0) return {};
  std::u16string buffer(sizing.count, u'\0');
  const GetDefaultPrinterReply filling = spooler_.get_default_printer(buffer.data(), sizing.count);
  if (!filling.ok) return {};
  const std::u16string_view units(buffer);
  return utf16_to_utf8(units.substr(0, units.find(u'\0')));
}

JobProgress WindowsPrintSystem::job_progress(std::string_view queue, std::uint32_t job_id) {
  const auto printer = spooler_.open_printer(utf8_to_utf16(queue));
  if (!printer) return JobProgress::unknown;
  const GetJobReply sizing = spooler_.get_job(*printer, job_id, JOB_INFO_LEVEL, nullptr, 0);
  if (sizing.needed < JOB_INFO_1W_SIZE) return failed_job_query(sizing.last_error);
  SpoolerBuffer buffer(sizing.needed);
  const GetJobReply filling =
      spooler_.get_job(*printer, job_id, JOB_INFO_LEVEL, buffer.data(), sizing.needed);
  if (!filling.ok) return failed_job_query(filling.last_error);
  return job_progress_from_status(filling.status);
}

Result<PrinterDetails> WindowsPrintSystem::printer_details(std::string_view queue) {
  const std::u16string device = utf8_to_utf16(queue);
  const auto printer = spooler_.open_printer(device);
  if (!printer) {
    return fail(ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                os_error_message(OPEN_QUEUE_TEXT, printer.error()));
  }
  auto papers = read_queue_papers(spooler_, device);
  if (!papers) return std::unexpected(std::move(papers.error()));
  QueueMedia listed = media_of_papers(*papers);

  PrinterDetails details;
  details.name = std::string(queue);
  details.state = read_printer_state(spooler_, *printer);
  details.resolutions = read_resolutions(spooler_, device);
  details.ready_media = read_ready_media(spooler_, device, *papers, listed);
  details.color = spooler_.device_capabilities(device, CAPABILITY_COLOR_DEVICE, nullptr).value == 1;
  details.custom_range = read_custom_range(spooler_, device, *papers);
  // The rest is what the default settings and one device context on them tell; a queue that
  // does not tell it still has its media. Only the default paper's printable area is read: some
  // drivers take seconds for a device context.
  if (const auto settings = PrinterSettings::read_default(spooler_, *printer, device)) {
    const auto paper = settings->paper();
    const auto found = paper ? std::ranges::find(*papers, *paper, &QueuePaper::id) : papers->end();
    PrinterMedia* default_media = nullptr;
    if (found != papers->end()) {
      if (const auto index = listed.of_paper[static_cast<std::size_t>(found - papers->begin())]) {
        default_media = &listed.media[*index];
        details.default_media = default_media->name;
      }
    }
    if (const auto dc = devices_.create_dc(device, settings->data())) {
      const DevicePage page = read_device_page(devices_, *dc);
      // What a job without settings of its own is printed at: Wine's default settings name
      // 300 dpi for a 203-dpi queue, its device context the queue's own.
      if (page.resolution.x_dpi > 0 && page.resolution.y_dpi > 0) {
        details.default_resolution = page.resolution;
      }
      // A page turned or otherwise not the paper's tells nothing of the paper.
      if (default_media != nullptr &&
          same_media_size(page.size, default_media->size, MEDIA_PAGE_TOLERANCE_UM)) {
        default_media->printable_area = page.printable;
      }
    }
  }
  details.media = std::move(listed.media);
  details.is_default = default_queue() == queue;
  if (const RawDatatype datatype = read_raw_datatype(spooler_, *printer); datatype.told) {
    details.raw = !datatype.name.empty();
  }
  return details;
}

std::expected<std::unique_ptr<LabelDocument>, PrintFailure> WindowsPrintSystem::open_label_document(
    std::string_view queue, const std::optional<MediaRequest>& media) {
  const std::u16string device = utf8_to_utf16(queue);
  std::optional<PrinterSettings> selected;
  if (media) {
    auto settings = select_media(device, *media);
    if (!settings) return std::unexpected(std::move(settings.error()));
    selected = std::move(*settings);
  }
  auto dc = devices_.create_dc(device, selected ? selected->data() : nullptr);
  if (!dc) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         os_error_message(OPEN_QUEUE_TEXT, dc.error()));
  }
  if (media) {
    // A driver may ignore the selection: the page it will print on decides.
    const MediaSize page = read_device_page(devices_, *dc).size;
    if (!same_media_size(page, media->size, MEDIA_PAGE_TOLERANCE_UM)) {
      return std::unexpected(media_not_applied(*media, page));
    }
  }
  return std::make_unique<GdiLabelDocument>(devices_, std::move(*dc));
}

std::expected<std::unique_ptr<RawDocument>, PrintFailure> WindowsPrintSystem::open_raw_document(
    std::string_view queue, const std::optional<MediaRequest>& media) {
  const std::u16string device = utf8_to_utf16(queue);
  auto printer = spooler_.open_printer(device);
  if (!printer) {
    return print_failure(PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
                         os_error_message(OPEN_QUEUE_TEXT, printer.error()));
  }
  RawDatatype datatype = read_raw_datatype(spooler_, *printer);
  if (datatype.name.empty()) {
    return print_failure(PrintReach::nothing, ErrorCode::SUBMISSION_REJECTED,
                         "The selected Windows queue takes neither RAW nor XPS_PASS documents, so "
                         "it cannot print printer-language labels unchanged.");
  }
  RawPage page;
  page.resolutions = read_resolutions(spooler_, device);
  // The bytes set up the device themselves: the page is only read, never selected.
  const auto papers = read_queue_papers(spooler_, device);
  if (!papers) {
    return std::unexpected(PrintFailure{PrintReach::nothing, papers.error()});
  }
  if (media) {
    // Offered by the one rule of a PNG's media: a listed paper, or a size in the custom range.
    if (!choose_paper(spooler_, device, *papers, *media)) {
      return std::unexpected(media_not_offered(*media));
    }
    page.size = media->size;
  } else if (const auto settings = PrinterSettings::read_default(spooler_, *printer, device)) {
    const auto paper = settings->paper();
    const auto found = paper ? std::ranges::find(*papers, *paper, &QueuePaper::id) : papers->end();
    if (found != papers->end()) page.size = found->size;
  }
  return std::make_unique<SpoolerRawDocument>(spooler_, std::move(*printer),
                                              std::move(datatype.name), std::move(page));
}

std::expected<PrinterSettings, PrintFailure> WindowsPrintSystem::select_media(
    const std::u16string& device, const MediaRequest& media) {
  const auto nothing_reached = [](HostError error) {
    return std::unexpected(PrintFailure{PrintReach::nothing, std::move(error)});
  };
  const auto printer = spooler_.open_printer(device);
  if (!printer) {
    return nothing_reached(
        {ErrorCode::PRE_SUBMIT_UNAVAILABLE, os_error_message(OPEN_QUEUE_TEXT, printer.error())});
  }
  // With their names: a media named after its paper selects that paper.
  const auto papers = read_queue_papers(spooler_, device);
  if (!papers) return nothing_reached(papers.error());
  const auto choice = choose_paper(spooler_, device, *papers, media);
  if (!choice) return std::unexpected(media_not_offered(media));
  auto defaults = PrinterSettings::read_default(spooler_, *printer, device);
  if (!defaults) return nothing_reached(std::move(defaults.error()));
  PrinterSettings selection = *defaults;
  selection.select(*choice);
  auto merged = selection.merged(spooler_, *printer, device);
  // Wine keeps a merge as the queue's settings for the rest of the process, so that a later job
  // without media would print on this one's: the defaults are merged back at once. Should that
  // fail, this job still prints as selected.
  (void)defaults->merged(spooler_, *printer, device);
  if (!merged) return nothing_reached(std::move(merged.error()));
  return std::move(*merged);
}

PrintFailure WindowsPrintSystem::label_does_not_fit() const {
  return PrintFailure{PrintReach::refused,
                      {ErrorCode::MEDIA_MISMATCH,
                       "The selected Windows queue's paper size or orientation does not safely fit "
                       "this label."}};
}

}  // namespace vantrel
