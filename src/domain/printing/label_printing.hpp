#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

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

// One label of a document: its bitmap and how many pages of it, next to each other.
struct LabelPages {
  const LabelBitmap* bitmap = nullptr;
  std::uint16_t copies = 0;
};

// A document of several labels: how the whole job went, and for each label the refusal that kept
// it alone out of the job (a label that does not fit the page), nullopt for each one printed.
struct LabelsOutcome {
  PrintOutcome job;
  std::vector<std::optional<PrintFailure>> left_out;
};

// Prints decoded labels on a queue (on `media` when given) as one document, in order, with a
// page per copy. A label that does not fit is left out; when none fits, the first one's refusal
// is the job's and nothing is begun. The bitmaps must live until this returns. Arms no watchdog.
[[nodiscard]] LabelsOutcome print_labels(PrintSystem& system, std::string_view printer,
                                         std::string_view title, std::span<const LabelPages> labels,
                                         std::uint32_t dpi,
                                         const std::optional<MediaRequest>& media = std::nullopt);

// Prints a decoded label on a queue (on `media` when given) as one document with one page per
// copy: the job number, or the failure with how far it got. Arms no watchdog: the caller's
// stretch covers it.
[[nodiscard]] PrintOutcome print_label(PrintSystem& system, std::string_view printer,
                                       std::string_view title, const LabelBitmap& bitmap,
                                       std::uint32_t dpi, std::uint16_t copies,
                                       const std::optional<MediaRequest>& media = std::nullopt);

// One printer-language label of a document: its bytes, and how many times they are sent.
struct RawLabelPages {
  std::span<const std::uint8_t> bytes;
  std::uint16_t copies = 0;
};

// Sends printer-language labels unchanged as one job, in order, each label's copies next to
// each other. Arms no watchdog.
[[nodiscard]] PrintOutcome print_raw_labels(RawDocument& document, std::string_view title,
                                            std::span<const RawLabelPages> labels);

}  // namespace vantrel
