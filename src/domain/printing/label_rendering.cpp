#include "domain/printing/label_rendering.hpp"

#include <limits>

#include "base/os_error.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

// GetDeviceCaps indices.
constexpr int CAPS_HORZRES = 8;
constexpr int CAPS_VERTRES = 10;
constexpr int CAPS_LOGPIXELSX = 88;
constexpr int CAPS_LOGPIXELSY = 90;

constexpr std::uint32_t BITMAP_COMPRESSION_RGB = 0;  // BI_RGB
constexpr std::uint32_t DIB_USAGE_RGB_COLORS = 0;    // DIB_RGB_COLORS
constexpr std::uint32_t RASTER_OP_SRCCOPY = 0x00CC0020;
constexpr int STRETCH_GDI_ERROR = -1;  // GDI_ERROR

constexpr std::int64_t INT32_LIMIT = std::numeric_limits<std::int32_t>::max();

// Gives up a started document unless it was finished; declared after the device context so
// that AbortDoc always precedes DeleteDC.
class StartedDocument {
 public:
  StartedDocument(PrintDevices& devices, const DeviceContext& dc) : devices_(devices), dc_(dc) {}
  StartedDocument(const StartedDocument&) = delete;
  StartedDocument& operator=(const StartedDocument&) = delete;
  ~StartedDocument() {
    if (!finished_) devices_.abort_doc(dc_);
  }
  void finished() noexcept { finished_ = true; }

 private:
  PrintDevices& devices_;
  const DeviceContext& dc_;
  bool finished_ = false;
};

std::unexpected<PrintFailure> unknown_outcome(std::string_view text, std::uint32_t last_error) {
  return print_failure(PrintReach::unknown, ErrorCode::UNKNOWN_OUTCOME,
                       os_error_message(text, last_error));
}

}  // namespace

std::optional<LabelPlacement> compute_label_placement(const DeviceCaps& caps,
                                                      std::uint32_t bitmap_width,
                                                      std::uint32_t bitmap_height,
                                                      std::uint32_t dpi) noexcept {
  if (dpi == 0) return std::nullopt;
  const std::int64_t resolution_x = caps.log_pixels_x > 0 ? caps.log_pixels_x : dpi;
  const std::int64_t resolution_y = caps.log_pixels_y > 0 ? caps.log_pixels_y : dpi;
  // One label pixel covers 1/dpi inch; 64-bit so that no device resolution can wrap.
  const std::int64_t natural_width = resolution_x * bitmap_width / dpi;
  const std::int64_t natural_height = resolution_y * bitmap_height / dpi;
  const std::int64_t area_width = caps.horz_res;
  const std::int64_t area_height = caps.vert_res;

  if (area_width <= 0 || area_height <= 0 || natural_width <= 0 || natural_height <= 0) {
    return std::nullopt;
  }
  // Placement values are 32-bit device pixels; a label larger than that fits no page.
  if (natural_width > INT32_LIMIT || natural_height > INT32_LIMIT) return std::nullopt;

  std::int64_t width = natural_width;
  std::int64_t height = natural_height;
  if (natural_width > area_width || natural_height > area_height) {
    if (area_height * natural_width < area_width * natural_height) {
      height = area_height;
      width = area_height * natural_width / natural_height;
    } else {
      width = area_width;
      height = area_width * natural_height / natural_width;
    }
    if (width == 0) width = 1;
    if (height == 0) height = 1;
  }
  if (4 * width < 3 * natural_width || 4 * height < 3 * natural_height) return std::nullopt;

  return LabelPlacement{static_cast<std::int32_t>((area_width - width) / 2),
                        static_cast<std::int32_t>((area_height - height) / 2),
                        static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
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

LabelDocInfo label_doc_info(const std::u16string& title) noexcept {
  LabelDocInfo doc;
  doc.size = 40;
  doc.doc_name = title.c_str();
  return doc;
}

PrintOutcome render_label(PrintDevices& devices, std::string_view printer, std::string_view title,
                          const LabelBitmap& bitmap, std::uint32_t dpi, std::uint16_t copies) {
  // Declared before the device context so they outlive it.
  const std::u16string device_name = utf8_to_utf16(printer);
  const std::u16string document_name = utf8_to_utf16(title);

  auto dc = devices.create_dc(device_name);
  if (!dc) {
    return print_failure(
        PrintReach::nothing, ErrorCode::PRE_SUBMIT_UNAVAILABLE,
        os_error_message("Windows could not open the selected print queue", dc.error()));
  }

  DeviceCaps caps;
  caps.log_pixels_x = devices.get_device_caps(*dc, CAPS_LOGPIXELSX);
  caps.log_pixels_y = devices.get_device_caps(*dc, CAPS_LOGPIXELSY);
  caps.horz_res = devices.get_device_caps(*dc, CAPS_HORZRES);
  caps.vert_res = devices.get_device_caps(*dc, CAPS_VERTRES);
  const auto placement = compute_label_placement(caps, bitmap.width, bitmap.height, dpi);
  if (!placement) {
    return print_failure(
        PrintReach::refused, ErrorCode::MEDIA_MISMATCH,
        "The selected Windows queue's paper size or orientation does not safely fit this "
        "label.");
  }

  const GdiReply started = devices.start_doc(*dc, label_doc_info(document_name));
  if (started.value <= 0) {
    return print_failure(PrintReach::refused, ErrorCode::SUBMISSION_REJECTED,
                         os_error_message("Windows rejected the print job", started.last_error));
  }
  StartedDocument document(devices, *dc);

  // One header and one set of pixel bytes serve every page; the device does the scaling.
  const LabelBitmapInfo info = label_bitmap_info(bitmap);
  StretchDibCall draw;
  draw.dest_x = placement->x;
  draw.dest_y = placement->y;
  draw.dest_width = placement->width;
  draw.dest_height = placement->height;
  draw.src_width = static_cast<std::int32_t>(bitmap.width);
  draw.src_height = static_cast<std::int32_t>(bitmap.height);
  draw.bits = bitmap.pixels.get();
  draw.info = &info;
  draw.usage = DIB_USAGE_RGB_COLORS;
  draw.rop = RASTER_OP_SRCCOPY;

  for (std::uint16_t copy = 0; copy < copies; ++copy) {
    const GdiReply page = devices.start_page(*dc);
    if (page.value <= 0) {
      return unknown_outcome("Windows could not start the label page", page.last_error);
    }
    const GdiReply drawn = devices.stretch_dib_bits(*dc, draw);
    if (drawn.value == 0 || drawn.value == STRETCH_GDI_ERROR) {
      return unknown_outcome("Windows could not render the label to the print queue",
                             drawn.last_error);
    }
    const GdiReply ended = devices.end_page(*dc);
    if (ended.value <= 0) {
      return unknown_outcome("Windows could not finish the label page", ended.last_error);
    }
  }
  const GdiReply finished = devices.end_doc(*dc);
  if (finished.value <= 0) {
    return unknown_outcome(
        "Windows may have queued the label but did not acknowledge the completed document",
        finished.last_error);
  }
  document.finished();
  return static_cast<std::uint32_t>(started.value);
}

}  // namespace vantrel
