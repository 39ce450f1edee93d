#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "domain/printing/print_device.hpp"
#include "domain/printing/print_outcome.hpp"
#include "domain/submit/label_bitmap.hpp"

namespace vantrel {

// What GetDeviceCaps reported for the queue's device context.
struct DeviceCaps {
  int log_pixels_x = 0;  // LOGPIXELSX
  int log_pixels_y = 0;  // LOGPIXELSY
  int horz_res = 0;      // HORZRES: printable width
  int vert_res = 0;      // VERTRES: printable height
};

// Where the label lands: device pixels from the top-left corner of the printable area.
struct LabelPlacement {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool operator==(const LabelPlacement&) const = default;
};

// The label at its physical size, shrunk uniformly (by no more than a quarter in each dimension)
// when it does not fit the printable area, never enlarged or rotated, centred. nullopt when it
// does not fit. A device resolution of 0 or less counts as the label's own dpi.
[[nodiscard]] std::optional<LabelPlacement> compute_label_placement(const DeviceCaps& caps,
                                                                    std::uint32_t bitmap_width,
                                                                    std::uint32_t bitmap_height,
                                                                    std::uint32_t dpi) noexcept;

// 32-bit top-down BI_RGB header with one zero colour entry.
[[nodiscard]] LabelBitmapInfo label_bitmap_info(const LabelBitmap& bitmap) noexcept;

// The document named title (NUL-terminated UTF-16, kept alive by the caller), default output and
// data type.
[[nodiscard]] LabelDocInfo label_doc_info(const std::u16string& title) noexcept;

// Prints the label on the queue as one document with one page per copy and returns the spooler's
// job number, or the failure with how far it got: PRE_SUBMIT_UNAVAILABLE (nothing reached the
// spooler), MEDIA_MISMATCH or SUBMISSION_REJECTED (refused for certain), UNKNOWN_OUTCOME (a job
// may exist). The device context is deleted exactly once on every path, after AbortDoc when a
// started document failed. Arms no watchdog: the caller's stretch covers it.
[[nodiscard]] PrintOutcome render_label(PrintDevices& devices, std::string_view printer,
                                        std::string_view title, const LabelBitmap& bitmap,
                                        std::uint32_t dpi, std::uint16_t copies);

}  // namespace vantrel
