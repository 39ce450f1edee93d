#include "domain/printing/media.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vantrel {
namespace {

constexpr std::int32_t UM_PER_INCH = 25'400;
// Inch-sized stock comes in sixteenths of an inch (2-5/16 x 4 in); a size counts as one when a
// driver's tenths of a millimetre are all that part it from one.
constexpr double UM_PER_SIXTEENTH_INCH = 1587.5;
constexpr double SIXTEENTH_INCH_SLACK_UM = 60;
// Nothing larger is a label or a sheet: 10 m.
constexpr double LARGEST_MEDIA_UM = 10'000'000;

struct StandardMedia {
  std::string_view name;
  MediaSize size;
};

constexpr std::int32_t inches(double value) {
  return static_cast<std::int32_t>(value * UM_PER_INCH + 0.5);
}
constexpr std::int32_t millimetres(double value) {
  return static_cast<std::int32_t>(value * 1000 + 0.5);
}

// Common papers and label stocks by their standard self-describing names, portrait as named.
constexpr std::array<StandardMedia, 26> STANDARD_MEDIA{{
    {"na_index-3x5_3x5in", {inches(3), inches(5)}},
    {"na_index-4x6_4x6in", {inches(4), inches(6)}},
    {"na_5x7_5x7in", {inches(5), inches(7)}},
    {"na_index-5x8_5x8in", {inches(5), inches(8)}},
    {"na_govt-letter_8x10in", {inches(8), inches(10)}},
    {"na_invoice_5.5x8.5in", {inches(5.5), inches(8.5)}},
    {"na_executive_7.25x10.5in", {inches(7.25), inches(10.5)}},
    {"na_letter_8.5x11in", {inches(8.5), inches(11)}},
    {"na_legal_8.5x14in", {inches(8.5), inches(14)}},
    {"na_ledger_11x17in", {inches(11), inches(17)}},
    {"na_number-10_4.125x9.5in", {inches(4.125), inches(9.5)}},
    {"na_monarch_3.875x7.5in", {inches(3.875), inches(7.5)}},
    {"iso_a3_297x420mm", {millimetres(297), millimetres(420)}},
    {"iso_a4_210x297mm", {millimetres(210), millimetres(297)}},
    {"iso_a5_148x210mm", {millimetres(148), millimetres(210)}},
    {"iso_a6_105x148mm", {millimetres(105), millimetres(148)}},
    {"iso_a7_74x105mm", {millimetres(74), millimetres(105)}},
    {"iso_a8_52x74mm", {millimetres(52), millimetres(74)}},
    {"iso_b5_176x250mm", {millimetres(176), millimetres(250)}},
    {"iso_b6_125x176mm", {millimetres(125), millimetres(176)}},
    {"iso_c5_162x229mm", {millimetres(162), millimetres(229)}},
    {"iso_c6_114x162mm", {millimetres(114), millimetres(162)}},
    {"iso_dl_110x220mm", {millimetres(110), millimetres(220)}},
    {"jis_b5_182x257mm", {millimetres(182), millimetres(257)}},
    {"jis_b6_128x182mm", {millimetres(128), millimetres(182)}},
    {"jpn_hagaki_100x148mm", {millimetres(100), millimetres(148)}},
}};

// A positive decimal number ("4", "2.25", "105") as micrometres at the unit's scale.
std::optional<std::int32_t> read_dimension(std::string_view text, double um_per_unit) noexcept {
  if (text.empty() || text.front() == '.' || text.back() == '.') return std::nullopt;
  for (const char c : text) {
    if ((c < '0' || c > '9') && c != '.') return std::nullopt;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  const double um = value * um_per_unit;
  if (!(um >= 1) || um > LARGEST_MEDIA_UM) return std::nullopt;
  return static_cast<std::int32_t>(std::llround(um));
}

// A count of ten-thousandths ("22500" -> "2.25", decimals 4) or tenths ("1003" -> "100.3").
std::string decimal(std::int64_t value, int decimals) {
  const std::int64_t scale = decimals == 4 ? 10'000 : 10;
  std::string text = std::to_string(value / scale);
  std::string fraction = std::to_string(value % scale);
  fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

std::string dimensions_in_unit(MediaSize size) {
  const auto sixteenths = [](std::int32_t um) { return std::llround(um / UM_PER_SIXTEENTH_INCH); };
  const auto whole_sixteenths = [&](std::int32_t um) {
    return std::abs(static_cast<double>(sixteenths(um)) * UM_PER_SIXTEENTH_INCH - um) <=
           SIXTEENTH_INCH_SLACK_UM;
  };
  if (whole_sixteenths(size.width_um) && whole_sixteenths(size.height_um)) {
    // One sixteenth is 625 ten-thousandths of an inch.
    return decimal(sixteenths(size.width_um) * 625, 4) + "x" +
           decimal(sixteenths(size.height_um) * 625, 4) + "in";
  }
  const auto tenths_mm = [](std::int32_t um) { return (static_cast<std::int64_t>(um) + 50) / 100; };
  return decimal(tenths_mm(size.width_um), 1) + "x" + decimal(tenths_mm(size.height_um), 1) + "mm";
}

}  // namespace

std::optional<MediaSize> media_size_of_name(std::string_view name) noexcept {
  const std::size_t last = name.rfind('_');
  if (last == std::string_view::npos || last == 0) return std::nullopt;
  std::string_view dimensions = name.substr(last + 1);
  double um_per_unit = 0;
  if (dimensions.ends_with("in")) {
    um_per_unit = UM_PER_INCH;
  } else if (dimensions.ends_with("mm")) {
    um_per_unit = 1000;
  } else {
    return std::nullopt;
  }
  dimensions.remove_suffix(2);
  const std::size_t x = dimensions.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto width = read_dimension(dimensions.substr(0, x), um_per_unit);
  const auto height = read_dimension(dimensions.substr(x + 1), um_per_unit);
  if (!width || !height) return std::nullopt;
  return MediaSize{*width, *height};
}

std::string media_name_of_size(MediaSize size) {
  for (const StandardMedia& standard : STANDARD_MEDIA) {
    if (same_media_size(standard.size, size, MEDIA_MATCH_TOLERANCE_UM)) {
      return std::string(standard.name);
    }
  }
  return "custom_" + dimensions_in_unit(size);
}

bool same_media_size(MediaSize a, MediaSize b, std::int32_t tolerance_um) noexcept {
  return media_size_distance(a, b) <= tolerance_um;
}

std::int32_t media_size_distance(MediaSize a, MediaSize b) noexcept {
  return std::max(std::abs(a.width_um - b.width_um), std::abs(a.height_um - b.height_um));
}

std::string describe_media_size(MediaSize size) {
  const auto tenths_mm = [](std::int32_t um) { return (static_cast<std::int64_t>(um) + 50) / 100; };
  return decimal(tenths_mm(size.width_um), 1) + " x " + decimal(tenths_mm(size.height_um), 1) +
         " mm";
}

PrintFailure media_not_offered(const MediaRequest& media) {
  return PrintFailure{PrintReach::refused,
                      {ErrorCode::MEDIA_UNSUPPORTED,
                       "The selected print queue does not offer the media " + media.name + " (" +
                           describe_media_size(media.size) + ")."}};
}

PrintFailure media_not_applied(const MediaRequest& media, MediaSize page) {
  return PrintFailure{PrintReach::refused,
                      {ErrorCode::MEDIA_MISMATCH,
                       "The selected print queue would print on " + describe_media_size(page) +
                           " instead of the requested media " + media.name + " (" +
                           describe_media_size(media.size) +
                           "): its driver does not apply the selection. Nothing was printed."}};
}

}  // namespace vantrel
