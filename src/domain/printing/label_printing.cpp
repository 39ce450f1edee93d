#include "domain/printing/label_printing.hpp"

#include <algorithm>
#include <limits>

namespace vantrel {
namespace {

constexpr std::int64_t INT32_LIMIT = std::numeric_limits<std::int32_t>::max();

}  // namespace

std::optional<LabelPlacement> compute_label_placement(const PrintableArea& area,
                                                      std::uint32_t bitmap_width,
                                                      std::uint32_t bitmap_height,
                                                      std::uint32_t dpi) noexcept {
  if (dpi == 0) return std::nullopt;
  const std::int64_t resolution_x = area.resolution.x_dpi > 0 ? area.resolution.x_dpi : dpi;
  const std::int64_t resolution_y = area.resolution.y_dpi > 0 ? area.resolution.y_dpi : dpi;
  // One label pixel covers 1/dpi inch; 64-bit so that no device resolution can wrap.
  const std::int64_t natural_width = resolution_x * bitmap_width / dpi;
  const std::int64_t natural_height = resolution_y * bitmap_height / dpi;
  const std::int64_t area_width = area.width;
  const std::int64_t area_height = area.height;

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

LabelsOutcome print_labels(PrintSystem& system, std::string_view printer, std::string_view title,
                           std::span<const LabelPages> labels, std::uint32_t dpi,
                           const std::optional<MediaRequest>& media) {
  LabelsOutcome outcome{PrintOutcome(0), std::vector<std::optional<PrintFailure>>(labels.size())};
  auto document = system.open_label_document(printer, media);
  if (!document) {
    outcome.job = std::unexpected(std::move(document.error()));
    return outcome;
  }
  const PrintableArea area = (*document)->printable_area();
  std::vector<std::optional<LabelPlacement>> placements;
  placements.reserve(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const LabelBitmap& bitmap = *labels[i].bitmap;
    placements.push_back(compute_label_placement(area, bitmap.width, bitmap.height, dpi));
    if (!placements.back()) outcome.left_out[i] = system.label_does_not_fit();
  }
  if (std::ranges::none_of(placements, [](const auto& p) { return p.has_value(); })) {
    outcome.job = std::unexpected(*outcome.left_out.front());
    return outcome;
  }
  if (auto refused = (*document)->begin(title)) {
    outcome.job = std::unexpected(std::move(*refused));
    return outcome;
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (!placements[i]) continue;
    for (std::uint16_t copy = 0; copy < labels[i].copies; ++copy) {
      if (auto failed = (*document)->draw_page(*labels[i].bitmap, *placements[i])) {
        outcome.job = std::unexpected(std::move(*failed));
        return outcome;
      }
    }
  }
  outcome.job = (*document)->end();
  return outcome;
}

PrintOutcome print_label(PrintSystem& system, std::string_view printer, std::string_view title,
                         const LabelBitmap& bitmap, std::uint32_t dpi, std::uint16_t copies,
                         const std::optional<MediaRequest>& media) {
  const LabelPages label{&bitmap, copies};
  return print_labels(system, printer, title, {&label, 1}, dpi, media).job;
}

PrintOutcome print_raw_labels(RawDocument& document, std::string_view title,
                              std::span<const RawLabelPages> labels) {
  if (auto refused = document.begin(title)) return std::unexpected(std::move(*refused));
  for (const RawLabelPages& label : labels) {
    for (std::uint16_t copy = 0; copy < label.copies; ++copy) {
      if (auto failed = document.write(label.bytes)) return std::unexpected(std::move(*failed));
    }
  }
  return document.end();
}

}  // namespace vantrel
