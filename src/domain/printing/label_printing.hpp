#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "domain/printing/label_bitmap.hpp"
#include "domain/printing/print_outcome.hpp"
#include "domain/printing/print_system.hpp"

namespace vantrel {

// The label at its physical size, shrunk uniformly (by no more than a quarter in each dimension)
// when it does not fit the printable area, never enlarged or rotated, centred. nullopt when it
// does not fit. A device resolution of 0 or less counts as the label's own dpi.
[[nodiscard]] std::optional<LabelPlacement> compute_label_placement(const PrintableArea& area,
                                                                    std::uint32_t bitmap_width,
                                                                    std::uint32_t bitmap_height,
                                                                    std::uint32_t dpi) noexcept;

// Prints a decoded label on a queue: the job number, or the failure with how far it got.
class LabelPrinter {
 public:
  virtual ~LabelPrinter() = default;
  [[nodiscard]] virtual PrintOutcome print_label(std::string_view printer, std::string_view title,
                                                 const LabelBitmap& bitmap, std::uint32_t dpi,
                                                 std::uint16_t copies) = 0;
};

// Prints on a print system as one document with one page per copy. Arms no watchdog: the
// caller's stretch covers it.
class PrintSystemLabelPrinter final : public LabelPrinter {
 public:
  explicit PrintSystemLabelPrinter(PrintSystem& system) : system_(system) {}
  PrintOutcome print_label(std::string_view printer, std::string_view title,
                           const LabelBitmap& bitmap, std::uint32_t dpi,
                           std::uint16_t copies) override;

 private:
  PrintSystem& system_;
};

}  // namespace vantrel
